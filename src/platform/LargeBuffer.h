#pragma once
// Memory for a large block of text. From 2 MB on it is mapped and advised
// for huge pages: a few of them cost far less to touch the first time, and
// to read through, than thousands of small ones.
#include <cstddef>

namespace Platform {

class TLargeBuffer {
 public:
  explicit TLargeBuffer(size_t size);
  ~TLargeBuffer();
  TLargeBuffer(const TLargeBuffer&) = delete;
  TLargeBuffer& operator=(const TLargeBuffer&) = delete;

  char* Data() const { return FData; }
  size_t Size() const { return FSize; }

 private:
  char* FData = nullptr;
  size_t FSize;
  size_t FMappedSize = 0;  // 0: allocated with new
};

}  // namespace Platform
