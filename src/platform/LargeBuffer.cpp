#include "platform/LargeBuffer.h"

#include <sys/mman.h>

namespace Platform {

namespace {
constexpr size_t HUGE_PAGE = size_t{2} << 20;
}

TLargeBuffer::TLargeBuffer(size_t size) : FSize(size) {
  if (size >= HUGE_PAGE) {
    FMappedSize = (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* mapped = ::mmap(nullptr, FMappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped != MAP_FAILED) {
      ::madvise(mapped, FMappedSize, MADV_HUGEPAGE);  // advice only; small pages do too
      FData = static_cast<char*>(mapped);
      return;
    }
    FMappedSize = 0;
  }
  FData = new char[size];
}

TLargeBuffer::~TLargeBuffer() {
  if (FMappedSize > 0)
    ::munmap(FData, FMappedSize);
  else
    delete[] FData;
}

}  // namespace Platform
