#pragma once
// Files and folders as many runs use them: a results file that several
// processes append to, a temporary folder of a batch's own, whole small
// files read back, absolute paths for a script run elsewhere, and whether a
// stream is a terminal.
#include <optional>
#include <string>

namespace Platform {

// path made absolute against the current folder (lexically, links kept).
std::string AbsolutePath(const std::string& path);
// Appends text to the file, creating it; when the file is empty, header
// goes first. Writers in other processes (on this machine or, on a file
// system that supports locks, another) take turns: each append holds an
// exclusive lock on the file, so rows never interleave and only the first
// writer writes the header. A file whose last line has no line end gets
// CR LF first. With an empty text only that much is written: a check,
// before anything is run, that the file takes rows. Returns 0 or an errno
// value.
int AppendShared(const std::string& path, const std::string& header, const std::string& text);
// A new empty folder in $TMPDIR (else /tmp) whose name starts with prefix;
// "" when it cannot be made.
std::string CreateTempFolder(const std::string& prefix);
// Removes a folder and everything in it; quietly does nothing when absent.
void RemoveFolder(const std::string& path);
// Reads a whole (small) file; none when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace Platform
