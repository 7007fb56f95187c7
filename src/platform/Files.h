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
// path made absolute against the current folder (lexically, links kept).
std::string AbsolutePath(const std::string& path);
// The descriptor is a terminal.
bool IsTerminal(int fd);
// Appends text to the file, creating it; when the file is empty, header
// goes first. Writers in other processes (on this machine or, on a file
// system that supports locks, another) take turns: each append holds an
// exclusive lock on the file, so rows never interleave and only the first
// writer writes the header. Returns 0 or an errno value.
int AppendShared(const std::string& path, const std::string& header, const std::string& text);
// A new empty folder in $TMPDIR (else /tmp) whose name starts with prefix;
// "" when it cannot be made.
std::string CreateTempFolder(const std::string& prefix);
// Removes a folder and everything in it; quietly does nothing when absent.
void RemoveFolder(const std::string& path);
// Reads a whole (small) file; none when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);
// The text of an errno value.
std::string SysErrorMessage(int code);

}  // namespace Platform
