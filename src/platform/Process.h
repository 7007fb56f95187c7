#pragma once
// Child processes and anonymous pipes.
//
// A process handle is a pidfd: it names one process for as long as it is
// open, so a signal sent through it can never reach a later process that
// happens to reuse the pid. Every child started here is reaped as soon as
// it exits (a background reaper holds its own pidfd), so no zombie is left
// whether or not the caller ever asks for the exit status; the status is
// kept for the caller until the handle is closed with CloseProcessHandle.
//
// Error codes returned by the pipe functions are errno values; their text
// is Platform::SysErrorMessage (platform/Files.h).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Platform {

// The exit code reported for a process that is still running.
inline constexpr uint32_t STILL_ACTIVE = 259;

// The record of a created process. Linux has no separate thread handle:
// hThread stays -1 and dwThreadId is the id of the main thread (= pid).
struct TProcessInformation {
  int hProcess = -1;
  int hThread = -1;
  uint32_t dwProcessId = 0;
  uint32_t dwThreadId = 0;
};

// Splits a command line into arguments as a Windows program's C runtime
// does: blanks separate arguments outside double quotes; 2n backslashes
// before a quote give n backslashes and the quote toggles quoting; 2n+1
// give n backslashes and a literal quote; other backslashes are literal;
// "" inside quotes is a literal quote. The first argument (the program) is
// read plainly: up to the closing quote when it starts with one, else up
// to the first blank.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);
// One argument in double quotes, escaped so that SplitCommandLine gives it
// back whole and unchanged whatever it holds (blanks, quotes, backslashes).
// A text without quotes or backslashes before the closing quote is simply
// put between quotes.
std::string QuoteArgument(const std::string& argument);

struct TSpawnRequest {
  // The whole command line; its first argument names the program. A name
  // without '/' is looked up along PATH; a relative path is taken from the
  // caller's folder, not from WorkingDirectory.
  std::string CommandLine;
  // When given, the program to run and the child's first argument, in place
  // of the command line's first argument: a path may hold characters (a
  // double quote) that the command line cannot carry there.
  std::string Program;
  // Folder the child starts in; empty: the caller's.
  std::string WorkingDirectory;
  // The child's environment, "NAME=value" entries; ignored unless
  // UseEnvironment (then the caller's environment is inherited).
  bool UseEnvironment = false;
  std::vector<std::string> Environment;
  // Descriptors that become the child's standard input, output and error;
  // -1 leaves the caller's. They are duplicated in the child only, so a
  // close-on-exec descriptor of ours is fine here.
  int StdInput = -1;
  int StdOutput = -1;
  int StdError = -1;
  // The child leads a session of its own (the stand-in for a console of
  // its own): it does not share the caller's terminal signals.
  bool NewSession = false;
};

// Starts a process. No descriptor of the caller other than the standard
// ones (and the redirections asked for) reaches the child. Returns 0 and
// fills info, or an errno value (ENOENT, EACCES, ...) and leaves info
// cleared.
int SpawnProcess(const TSpawnRequest& request, TProcessInformation& info);

// Kills the process (SIGKILL through its handle). False for an invalid
// handle or a process that is already gone.
bool TerminateProcess(int hProcess);

// The exit code: STILL_ACTIVE while running; the status given to exit();
// 128 + the signal number for a process ended by a signal. False for a
// handle that is not a process started here.
bool GetExitCodeProcess(int hProcess, uint32_t& exitCode);

// A count that moves on whenever a process started here is found to have
// ended, a moment after it ended: a caller that saw it unchanged since it
// last asked GetExitCodeProcess of its processes need not ask again.
uint64_t ProcessExitsSeen();

// Asks the process to end (SIGTERM) and kills it (SIGKILL) when it has not
// ended within graceMs. True when it has ended.
bool EndProcess(int hProcess, uint32_t graceMs);

// Waits up to timeoutMs (INFINITE allowed) for the process to end.
// Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (platform/Events.h).
uint32_t WaitForProcess(int hProcess, uint32_t timeoutMs);

// Closes a process handle (-1 is allowed) and sets it to -1. The child is
// still reaped when it exits later.
void CloseProcessHandle(int& hProcess);

// Creates (or empties) a file for a child's output, write-only and
// close-on-exec, so it reaches no child except as a redirected stream.
// Returns 0 and the descriptor in fd, or an errno value and fd = -1;
// anything but a regular file at path (a FIFO, a device) is refused with
// NOT_REGULAR_FILE_ERROR (platform/Files.h), a symbolic link with ELOOP.
int CreateOutputFile(const std::string& path, int& fd);
// /dev/null for writing, close-on-exec: the output of a child that nobody
// reads. Returns 0 or an errno value.
int OpenNullOutput(int& fd);

// Our standard error as a child inherits it: 2, or -1 when it is closed.
int StdErrorHandle();

// Ignores SIGPIPE and SIGXFSZ for the whole program, so a write to a pipe
// whose reader has gone returns EPIPE, and one past the file-size limit
// (ulimit -f) EFBIG, instead of ending the program. Children get both back
// at their defaults. Idempotent; every function here that creates a pipe or
// a process calls it, and the program calls it at start-up.
void IgnoreWriteSignals();

// Raises the soft limit on open descriptors to the hard limit (each engine
// costs the manager a connection, a thread and a process handle). Returns
// the soft limit in force afterwards.
uint64_t RaiseDescriptorLimit();

// The effective user id of this program.
uint32_t CurrentUserId();

// Whether an errno value means the process or the system has run out of
// descriptors.
inline bool IsOutOfDescriptors(int error) { return error == 24 /* EMFILE */ || error == 23 /* ENFILE */; }

// An anonymous pipe; both ends are close-on-exec (a child receives an end
// only as a redirected standard stream). Returns 0 or an errno value.
int CreatePipe(int& readEnd, int& writeEnd);

// Sets or clears a descriptor's inheritance (the close-on-exec flag).
// Returns 0 or an errno value.
int SetHandleInheritable(int fd, bool inheritable);

// Bytes that can be read from the pipe end without blocking. A pipe whose
// writer has gone and that holds nothing reports EPIPE.
int PeekPipe(int fd, uint32_t& bytesWaiting);

// Reads up to count bytes (blocking until at least one is there). End of
// file (the writer gone, nothing left) is reported as EPIPE with 0 bytes.
int ReadPipe(int fd, void* buffer, size_t count, size_t& bytesRead);

// Writes all count bytes, waiting while the pipe is full. A reader that has
// gone gives EPIPE; bytesWritten tells how far it got. The waits end after
// timeoutMs in all (ETIMEDOUT) when the write end is in non-blocking mode
// (SetPipeNonBlocking); a blocking one waits in the write itself.
int WritePipe(int fd, const void* data, size_t count, size_t& bytesWritten, uint32_t timeoutMs = 0xFFFFFFFFu);

// WritePipe for text followed by end (a line and its line end), given to
// the pipe in one write where it takes them whole, without joining them
// first.
int WritePipeLine(int fd, std::string_view text, std::string_view end, uint32_t timeoutMs = 0xFFFFFFFFu);

// Puts a pipe end in non-blocking mode, for writes with a time-out.
// Returns 0 or an errno value.
int SetPipeNonBlocking(int fd);

// Asks for a pipe buffer of at least `bytes` (up to the system's bound):
// a reader and a writer of long lines then take turns far less often.
// Best effort; returns 0 or an errno value.
int SetPipeCapacity(int fd, size_t bytes);

// Waits until the reader has taken in everything written to this write end
// (or timeoutMs passes: ETIMEDOUT). A reader that has gone gives EPIPE.
// answerFd (optional) is where the reader answers what it read: its becoming
// readable ends the wait at once when the pipe has been drained by then, and
// answered (when given) then says so: a read of answerFd will not block.
int FlushPipe(int fd, uint32_t timeoutMs = 0xFFFFFFFFu, int answerFd = -1, bool* answered = nullptr);

}  // namespace Platform
