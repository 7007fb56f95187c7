#include "platform/Files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

bool FileIsExecutable(const std::string& path) { return FileExists(path) && ::access(path.c_str(), X_OK) == 0; }

int ExistingFileReadError(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  int fd = -1;
  if (const int error = OpenRegularFile(path, O_RDONLY, 0, fd); error != 0) return error;
  ::close(fd);
  return 0;
}

int OpenRegularFileForReading(const std::string& path, int& fd) { return OpenRegularFile(path, O_RDONLY, 0, fd); }

int OpenRegularFile(const std::string& path, int flags, unsigned mode, int& fd) {
  fd = -1;
  int opened;
  do opened = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, static_cast<mode_t>(mode));
  while (opened < 0 && errno == EINTR);
  if (opened < 0) {
    const int error = errno;
    // A FIFO without a reader refuses a non-blocking writer with ENXIO; a
    // device without its driver says ENODEV or ENXIO: say what is there.
    struct stat st {};
    if ((error == ENXIO || error == ENODEV) && ::stat(path.c_str(), &st) == 0 &&
        !S_ISREG(st.st_mode))
      return NOT_REGULAR_FILE_ERROR;
    return error;
  }
  struct stat st {};
  if (::fstat(opened, &st) != 0) {
    const int error = errno;
    ::close(opened);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(opened);
    return NOT_REGULAR_FILE_ERROR;
  }
  const int status = ::fcntl(opened, F_GETFL);
  if (status < 0 || ::fcntl(opened, F_SETFL, status & ~O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(opened);
    return error;
  }
  fd = opened;
  return 0;
}

std::optional<TLocalDateTime> FileModifiedTime(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  tm parts{};
  localtime_r(&st.st_mtim.tv_sec, &parts);
  return FromTm(parts, static_cast<int>(st.st_mtim.tv_nsec / 1000000));
}

std::string FormatLocalDateTime(const TLocalDateTime& t) {
  tm parts = ToTm(t);
  char buf[128];
  const size_t n = std::strftime(buf, sizeof buf, "%x %X", &parts);
  return std::string(buf, n);
}

std::string ExtractFileDir(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

std::string SysErrorMessage(int code) {
  if (code == NOT_REGULAR_FILE_ERROR) return "Not a regular file";
  return std::strerror(code);
}

std::string OpenErrorMessage(int code) {
  if (code == ELOOP) return "it is a symbolic link, which is not followed";
  if (code == NOT_REGULAR_FILE_ERROR) return "it is not a regular file (a FIFO, a device or a folder), which is not opened";
  return SysErrorMessage(code);
}

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::string();
  return buf;
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

TAppendResult AppendToFileCuttingBack(const std::string& path, std::string_view text,
                                      const std::function<size_t(std::string_view)>& kept) {
  // Not through a link at the last element: a log file replaced by a link
  // would have our lines written into whatever file it points at.
  int fd = -1;
  if (const int error = OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644, fd); error != 0)
    return {error, true};
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0;
  // A file without any write permission bit is read-only for everyone, a
  // privileged user included, as a read-only file attribute would be.
  if (sized && (before.st_mode & 0222) == 0) {
    ::close(fd);
    return {EACCES, false};
  }
  size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  // A full disk may take part of the text: cut that part off again (all of
  // it, or what follows the last whole line), so the file ends with the last
  // whole text written and the next one does not continue a broken line.
  // Only when nobody else appended meanwhile.
  struct stat after {};
  if (error && done > 0 && sized && ::fstat(fd, &after) == 0 &&
      after.st_size == before.st_size + static_cast<off_t>(done)) {
    const size_t keep = kept(text.substr(0, done));
    if (keep < done) (void)!::ftruncate(fd, before.st_size + static_cast<off_t>(keep));
  }
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return {error, false};
}

}  // namespace Platform
