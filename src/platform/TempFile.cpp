#include "platform/TempFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

int CreateUnnamedTempFile(const std::string& dir, const std::string& prefix) {
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string path = dir + "/" + prefix + "XXXXXX";
    fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(path.c_str());
  }
  return fd;
}

int64_t ReadFd(int fd, void* buffer, int64_t count) {
  int64_t done = 0;
  auto* p = static_cast<uint8_t*>(buffer);
  while (done < count) {
    const ssize_t r = ::read(fd, p + done, static_cast<size_t>(count - done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += r;
  }
  return done;
}

int64_t WriteFd(int fd, const void* buffer, int64_t count) {
  int64_t done = 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (done < count) {
    const ssize_t r = ::write(fd, p + done, static_cast<size_t>(count - done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += r;
  }
  return done;
}

int64_t SeekFd(int fd, int64_t offset, TFdSeek origin) {
  const int whence = origin == TFdSeek::Begin ? SEEK_SET : origin == TFdSeek::Current ? SEEK_CUR : SEEK_END;
  const off_t r = ::lseek(fd, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void CloseFd(int fd) { ::close(fd); }

}  // namespace Platform
