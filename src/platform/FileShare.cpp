#include "platform/FileShare.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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
  // is appended to without that look.
  int fd;
  bool readable = true;
  do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == EACCES) {
    readable = false;
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) return errno;
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
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace Platform
