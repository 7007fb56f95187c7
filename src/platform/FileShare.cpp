#include "platform/FileShare.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/Files.h"

namespace Platform {

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

namespace {

int WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int AppendShared(const std::string& path, const std::string& header, const std::string& text) {
  // Read access too, to look at the last byte; a file we may only write to
  // is appended to without that look. Only a regular file is opened.
  int fd = -1;
  bool readable = true;
  int error = OpenRegularFile(path, O_RDWR | O_CREAT | O_APPEND, 0644, fd);
  if (error == EACCES) {
    readable = false;
    error = OpenRegularFile(path, O_WRONLY | O_CREAT | O_APPEND, 0644, fd);
  }
  if (error != 0) return error;
  int rc = 0;
  while (::flock(fd, LOCK_EX) != 0)
    if (errno != EINTR) {
      rc = errno;
      break;
    }
  struct stat st {};
  if (!rc && ::fstat(fd, &st) != 0) rc = errno;
  if (!rc && st.st_size == 0) rc = WriteAll(fd, header);
  // A last line left without its end (a writer that died half way, an
  // editor) would have the text glued onto it.
  char last = '\n';
  if (!rc && st.st_size > 0 && readable && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
    rc = WriteAll(fd, "\r\n");
  if (!rc) rc = WriteAll(fd, text);
  ::close(fd);  // also lets the lock go
  return rc;
}

std::string CreateTempFolder(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

void RemoveFolder(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  int fd = -1;
  if (OpenRegularFile(path, O_RDONLY, 0, fd) != 0) return std::nullopt;
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace Platform
