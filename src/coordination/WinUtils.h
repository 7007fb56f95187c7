#pragma once
// Launching the outside programs: the engines (no redirection) and the
// external processor (standard input and output as pipes held here).
// Process handles and pipe ends returned here belong to the caller: close
// them with Platform::CloseProcessHandle and Platform::CloseHandleClear.
#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/Exception.h"
#include "platform/Process.h"

namespace WinUtils {

using Platform::TProcessInformation;

// A system call failed; the message is the system's text.
VELMAR_DECLARE_EXCEPTION(EOSError, Exception, "EOSError");

// The program path in double quotes, a space, then params unchanged.
std::string QuotedCommandLine(const std::string& filename, const std::string& params);

// The folder part of filename, up to and including its last '/' ("" for a
// bare name).
std::string ExtractFilePath(const std::string& filename);

// How a launch went; every failure comes back in it, none is raised.
enum class TExecFailure {
  None,
  // The program could not be started (or the pipes to it not made).
  Launch,
  // Our ends of the pipes could not be kept from the child: a fault of this
  // program's, not of the one to start.
  PipeEnds,
};
struct TExecResult {
  TExecFailure Failure = TExecFailure::None;
  int Error = 0;  // the errno of what failed; 0 when started
  explicit operator bool() const { return Failure == TExecFailure::None; }
};

// Starts filename with params in its own folder, with a session of its own
// and this program's environment and standard streams; returns at once.
// output, when not -1, becomes the child's standard output and error (the
// caller keeps its descriptor and may close it once this returns).
[[nodiscard]] TExecResult ExecNoWait(const std::string& filename, const std::string& params,
                                     TProcessInformation& procInfo, int output = -1);

// Room in the pipe to a child's standard input: long request lines go
// through in a few turns of writer and reader rather than one per 64 KB.
constexpr size_t CHILD_INPUT_PIPE_CAPACITY = 256 * 1024;

// Makes our end of a pipe to a child's standard input as ExecNoWait does:
// CHILD_INPUT_PIPE_CAPACITY bytes of room where the system allows, and
// non-blocking, so that Platform::WritePipe waits with a time-out.
void PrepareChildInputPipe(int writeEnd);

// Starts filename with params in this program's folder, its standard input
// and output connected to pipes: readPipe receives our end of its standard
// output, writePipe our end of its standard input (both set even when the
// start fails). A non-empty addEnvironment (NAME=VALUE lines) is appended
// to this program's environment for the child. errorOutput, when not -1,
// becomes its standard error instead of ours. When our pipe ends cannot be
// kept from the child, nothing is started, the pipes are closed and the
// failure is PipeEnds. Our end of the pipe to its standard input is made by
// PrepareChildInputPipe.
[[nodiscard]] TExecResult ExecNoWait(const std::string& filename, const std::string& params,
                                     TProcessInformation& procInfo, int& readPipe, int& writePipe,
                                     const std::string& addEnvironment, int errorOutput = -1);

// This program's environment, each entry followed by CR LF.
std::string GetEnvironmentStrings();

// The non-empty lines of the text (CR LF, CR or LF separated), in order,
// unchecked and not de-duplicated: an environment block for a child.
std::vector<std::string> MakeEnvironmentStringsBlock(const std::string& environmentVariables);

}  // namespace WinUtils
