#pragma once
// File-system queries the program needs: existence, modification time,
// folders. Kept here so the modules above never call the system directly.
#include <functional>
#include <optional>
#include <string_view>
#include <string>

#include "platform/Clock.h"

namespace Platform {

// A regular file (or a link to one) exists at path.
bool FileExists(const std::string& path);
// Something (a file, a folder, a FIFO, a link) is at path.
bool PathExists(const std::string& path);
// The file is executable by this user.
bool FileIsExecutable(const std::string& path);
// Why the file at path cannot be read: 0 when it can, or does not exist at
// all; an errno value otherwise (EACCES, EISDIR, ...).
int ExistingFileReadError(const std::string& path);
// The file's last-modified time, local; none when it cannot be read.
std::optional<TLocalDateTime> FileModifiedTime(const std::string& path);
// The locale's date and time form of t (as "%x %X" writes it).
std::string FormatLocalDateTime(const TLocalDateTime& t);
// The folder part of path, without the trailing separator ("" for none).
std::string ExtractFileDir(const std::string& path);
// The name part of path: what follows its last separator (all of it for none).
std::string ExtractFileName(const std::string& path);
// path with its extension replaced by ext (ext with its dot, e.g. ".log").
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// The running program's file (from /proc/self/exe); "" when unknown.
std::string ExecutablePath();
// path with links and dots resolved; "" when it cannot be.
std::string RealPath(const std::string& path);
// The standard error stream is a terminal.
bool StderrIsTerminal();
struct TAppendResult {
  int Error = 0;        // 0, or the errno value of the failure
  bool OnOpen = false;  // the file could not be opened
};
// Appends text to the file (created 0644), never through a link at the last
// element of its path. A file without any write permission bit is refused
// with EACCES. When a failure (a full disk) left part of the text in and
// nobody else appended meanwhile, the file is cut back to the first
// kept(written part) bytes of the text.
TAppendResult AppendToFileCuttingBack(const std::string& path, std::string_view text,
                                      const std::function<size_t(std::string_view)>& kept);
// The error of an open by name that found something other than a regular
// file there (a FIFO, a device, a folder): a value outside errno's range.
inline constexpr int NOT_REGULAR_FILE_ERROR = 0x10001;
// Opens the file at path with flags (O_CLOEXEC added) without ever waiting:
// a FIFO or a device at path would block open() or read() for good, so it
// is opened with O_NONBLOCK, refused with NOT_REGULAR_FILE_ERROR unless
// fstat shows a regular file, and only then made blocking again. Every file
// the program opens by name goes through here. Returns 0 with fd set, or
// an errno value (fd -1).
int OpenRegularFile(const std::string& path, int flags, unsigned mode, int& fd);
// The same, for reading only.
int OpenRegularFileForReading(const std::string& path, int& fd);
// The text of an errno value (or of NOT_REGULAR_FILE_ERROR).
std::string SysErrorMessage(int code);
// The same for a file the program opens without following a symbolic link
// at the last element of its path (the files it writes beside a document,
// in folders others may write): there ELOOP means the file is such a link,
// and NOT_REGULAR_FILE_ERROR that it is no regular file.
std::string OpenErrorMessage(int code);

}  // namespace Platform
