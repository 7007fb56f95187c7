#pragma once
// File-system queries the program needs: existence, modification time,
// folders. Kept here so the modules above never call the system directly.
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace Platform {

// A regular file (or a link to one) exists at path.
bool FileExists(const std::string& path);
// The file is executable by this user.
bool FileIsExecutable(const std::string& path);
// The file's last-modified time, local; none when it cannot be read.
std::optional<TLocalDateTime> FileModifiedTime(const std::string& path);
// The locale's date and time form of t (as "%x %X" writes it).
std::string FormatLocalDateTime(const TLocalDateTime& t);
// The folder part of path, without the trailing separator ("" for none).
std::string ExtractFileDir(const std::string& path);
// path with its extension replaced by ext (ext with its dot, e.g. ".log").
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// The text of an errno value.
std::string SysErrorMessage(int code);

}  // namespace Platform
