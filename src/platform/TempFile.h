#pragma once
// A temporary file for long messages, and the plain descriptor I/O its
// stream needs.
#include <cstdint>
#include <string>

namespace Platform {

// $TMPDIR, or /tmp when unset or empty.
std::string TempDirectory();
// An unnamed read-write file in dir (O_TMPFILE), or, where the file system
// has none, a file named prefix + random letters, removed at once: nothing
// is left behind even when the process is killed. -1 when neither works.
int CreateUnnamedTempFile(const std::string& dir, const std::string& prefix);

enum class TFdSeek { Begin, Current, End };

// Reads (writes) until count bytes or the end of the file or an error;
// returns the number done. EINTR is retried.
int64_t ReadFd(int fd, void* buffer, int64_t count);
int64_t WriteFd(int fd, const void* buffer, int64_t count);
// The new position, or -1.
int64_t SeekFd(int fd, int64_t offset, TFdSeek origin);
void CloseFd(int fd);

}  // namespace Platform
