#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <span>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Events.h"
#include "platform/Files.h"
#include "platform/Reaper.h"

extern char** environ;

namespace Platform {
namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSendSignal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

std::string AbsoluteProgramPath(const std::string& program) {
  if (program.empty() || program[0] == '/' || program.find('/') == std::string::npos) return program;
  std::string cwd(4096, '\0');
  if (!::getcwd(cwd.data(), cwd.size())) return program;
  cwd.resize(std::char_traits<char>::length(cwd.c_str()));
  return cwd + "/" + program;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  const char* p = commandLine.c_str();
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };

  // The program name: quotes group and are dropped, backslashes are plain.
  std::string program;
  bool inQuotes = false;
  while (*p && (inQuotes || !isBlank(*p))) {
    if (*p == '"')
      inQuotes = !inQuotes;
    else
      program += *p;
    ++p;
  }
  if (commandLine.empty()) return args;
  args.push_back(program);

  inQuotes = false;
  for (;;) {
    while (isBlank(*p)) ++p;
    if (!*p) break;
    std::string arg;
    for (;;) {
      bool copy = true;
      size_t backslashes = 0;
      while (*p == '\\') {
        ++p;
        ++backslashes;
      }
      if (*p == '"') {
        if (backslashes % 2 == 0) {
          if (inQuotes && p[1] == '"')
            ++p;  // "" inside quotes: one literal quote, still quoted
          else {
            copy = false;
            inQuotes = !inQuotes;
          }
        }
        backslashes /= 2;
      }
      arg.append(backslashes, '\\');
      if (!*p || (!inQuotes && isBlank(*p))) break;
      if (copy) arg += *p;
      ++p;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string QuoteArgument(const std::string& argument) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled and the quote escaped; others
    // stand for themselves.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  // Before the closing quote they are doubled too, or they would escape it.
  quoted.append(2 * backslashes, '\\');
  quoted += '"';
  return quoted;
}

void IgnoreWriteSignals() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
    ::sigaction(SIGXFSZ, &sa, nullptr);
  });
}

uint32_t CurrentUserId() { return static_cast<uint32_t>(::geteuid()); }

uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

int SpawnProcess(const TSpawnRequest& request, TProcessInformation& info) {
  info = TProcessInformation{};
  IgnoreWriteSignals();
  std::vector<std::string> args = SplitCommandLine(request.CommandLine);
  if (!request.Program.empty()) {
    if (args.empty())
      args.push_back(request.Program);
    else
      args[0] = request.Program;
  }
  if (args.empty() || args[0].empty()) return ENOENT;
  const std::string program = AbsoluteProgramPath(args[0]);
  const bool searchPath = program.find('/') == std::string::npos;

  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (request.UseEnvironment) {
    for (const auto& e : request.Environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int rc = posix_spawn_file_actions_init(&actions)) return rc;
  if (int rc = posix_spawnattr_init(&attr)) {
    posix_spawn_file_actions_destroy(&actions);
    return rc;
  }
  int rc = 0;
  if (!rc && request.StdInput >= 0) rc = posix_spawn_file_actions_adddup2(&actions, request.StdInput, 0);
  if (!rc && request.StdOutput >= 0) rc = posix_spawn_file_actions_adddup2(&actions, request.StdOutput, 1);
  if (!rc && request.StdError >= 0) rc = posix_spawn_file_actions_adddup2(&actions, request.StdError, 2);
  if (!rc && !request.WorkingDirectory.empty())
    rc = posix_spawn_file_actions_addchdir_np(&actions, request.WorkingDirectory.c_str());
  // Nothing of ours leaks into the child: a stray copy of a pipe end would
  // keep a reader from ever seeing end of file.
  if (!rc) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  sigset_t noSignals, defaults;
  sigemptyset(&noSignals);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);  // ignored here, but not for the child
  sigaddset(&defaults, SIGXFSZ);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.NewSession) flags |= POSIX_SPAWN_SETSID;
  if (!rc) rc = posix_spawnattr_setflags(&attr, flags);
  if (!rc) rc = posix_spawnattr_setsigmask(&attr, &noSignals);
  if (!rc) rc = posix_spawnattr_setsigdefault(&attr, &defaults);

  pid_t pid = 0;
  if (!rc) {
    char** env = request.UseEnvironment ? envp.data() : environ;
    rc = searchPath ? posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), env)
                    : posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), env);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc) return rc;

  // The child is ours and not yet reaped, so the pid cannot have been
  // reused between the spawn and this call.
  const int pidfd = PidfdOpen(pid);
  if (pidfd < 0 || !ProcessDetail::WatchChild(pidfd)) {
    const int error = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    if (pidfd >= 0) ::close(pidfd);
    return error ? error : EMFILE;
  }
  info.hProcess = pidfd;
  info.dwProcessId = static_cast<uint32_t>(pid);
  info.dwThreadId = static_cast<uint32_t>(pid);
  return 0;
}

bool TerminateProcess(int hProcess) {
  if (hProcess < 0) return false;
  return PidfdSendSignal(hProcess, SIGKILL) == 0;
}

bool EndProcess(int hProcess, uint32_t graceMs) {
  if (hProcess < 0) return false;
  if (PidfdSendSignal(hProcess, SIGTERM) != 0) return errno == ESRCH;  // gone already
  if (WaitForProcess(hProcess, graceMs) == WAIT_OBJECT_0) return true;
  PidfdSendSignal(hProcess, SIGKILL);
  return WaitForProcess(hProcess, graceMs) == WAIT_OBJECT_0;
}

bool GetExitCodeProcess(int hProcess, uint32_t& exitCode) {
  if (hProcess < 0) return false;
  return ProcessDetail::ChildExitCode(hProcess, exitCode);
}

uint32_t WaitForProcess(int hProcess, uint32_t timeoutMs) {
  if (hProcess < 0) return WAIT_FAILED;
  // A pidfd reads as ready once its process has ended. It is reaped here
  // rather than by the reaper a moment later, so that whoever waited sees
  // the end in ProcessExitsSeen at once.
  const uint32_t result = WaitForAnyFd(std::span<const int>(&hProcess, 1), timeoutMs);
  uint32_t exitCode;
  if (result == WAIT_OBJECT_0) (void)ProcessDetail::ChildExitCode(hProcess, exitCode);
  return result;
}

void CloseProcessHandle(int& hProcess) {
  if (hProcess < 0) return;
  ProcessDetail::ForgetChild(hProcess);
  CloseHandleClear(hProcess);
}

int CreateOutputFile(const std::string& path, int& fd) {
  // A link planted where the file should be must not make us empty the
  // file it points at.
  return OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644, fd);
}

int OpenNullOutput(int& fd) {
  do fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? errno : 0;
}

int StdErrorHandle() { return ::fcntl(2, F_GETFD) < 0 ? -1 : 2; }

int CreatePipe(int& readEnd, int& writeEnd) {
  IgnoreWriteSignals();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) return errno;
  readEnd = fds[0];
  writeEnd = fds[1];
  return 0;
}

int SetHandleInheritable(int fd, bool inheritable) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return errno;
  const int wanted = inheritable ? (flags & ~FD_CLOEXEC) : (flags | FD_CLOEXEC);
  if (::fcntl(fd, F_SETFD, wanted) < 0) return errno;
  return 0;
}

int PeekPipe(int fd, uint32_t& bytesWaiting) {
  bytesWaiting = 0;
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) < 0) return errno;
  if (n > 0) {
    bytesWaiting = static_cast<uint32_t>(n);
    return 0;
  }
  // Empty: tell "nothing yet" from "nothing ever again".
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN)) return EPIPE;
  return 0;
}

int ReadPipe(int fd, void* buffer, size_t count, size_t& bytesRead) {
  bytesRead = 0;
  for (;;) {
    const ssize_t r = ::read(fd, buffer, count);
    if (r > 0) {
      bytesRead = static_cast<size_t>(r);
      return 0;
    }
    if (r == 0) return count == 0 ? 0 : EPIPE;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, -1);
      continue;
    }
    return errno;
  }
}

namespace {

// The clock counts whole milliseconds, so "now" may be most of one behind:
// one more keeps a wait from ending before its time-out.
TDeadline DeadlineAfter(uint32_t timeoutMs) {
  return timeoutMs == 0xFFFFFFFFu ? TDeadline::Never() : TDeadline::After(uint64_t{timeoutMs} + 1);
}

// Waits for room in the pipe until the deadline: 0, or ETIMEDOUT.
int WaitForRoom(int fd, const TDeadline& deadline) {
  const int wait = deadline.RemainingMs(INT32_MAX);
  if (wait == 0) return ETIMEDOUT;
  pollfd p{fd, POLLOUT, 0};
  if (::poll(&p, 1, wait) == 0 && deadline.RemainingMs(1) == 0) return ETIMEDOUT;
  return 0;
}

// Writes up to two parts one after another as one run of bytes, as much at
// a time as the pipe takes; bytesWritten counts what went, of all the parts.
int WritePartsUntil(int fd, std::span<const std::string_view> parts, size_t& bytesWritten,
                    const TDeadline& deadline) {
  constexpr size_t MAX_PARTS = 2;
  if (parts.size() > MAX_PARTS) return EINVAL;
  IgnoreWriteSignals();
  size_t total = 0;
  for (const std::string_view part : parts) total += part.size();
  while (bytesWritten < total) {
    iovec pending[MAX_PARTS];
    int count = 0;
    size_t skip = bytesWritten;
    for (const std::string_view part : parts) {
      if (skip >= part.size()) {
        skip -= part.size();
        continue;
      }
      pending[count++] = {const_cast<char*>(part.data() + skip), part.size() - skip};
      skip = 0;
    }
    const ssize_t r = ::writev(fd, pending, count);
    if (r >= 0) {
      bytesWritten += static_cast<size_t>(r);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (const int error = WaitForRoom(fd, deadline)) return error;
      continue;
    }
    return errno;
  }
  return 0;
}

}  // namespace

int WritePipe(int fd, const void* data, size_t count, size_t& bytesWritten, uint32_t timeoutMs) {
  bytesWritten = 0;
  const std::string_view parts[1] = {std::string_view(static_cast<const char*>(data), count)};
  return WritePartsUntil(fd, parts, bytesWritten, DeadlineAfter(timeoutMs));
}

int WritePipeLine(int fd, std::string_view text, std::string_view end, uint32_t timeoutMs) {
  size_t written = 0;
  const std::string_view parts[2] = {text, end};
  return WritePartsUntil(fd, parts, written, DeadlineAfter(timeoutMs));
}

int SetPipeNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  return 0;
}

int SetPipeCapacity(int fd, size_t bytes) {
  const int current = ::fcntl(fd, F_GETPIPE_SZ);
  if (current < 0) return errno;
  if (static_cast<size_t>(current) >= bytes) return 0;
  if (::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(std::min<size_t>(bytes, INT32_MAX))) < 0) return errno;
  return 0;
}

int FlushPipe(int fd, uint32_t timeoutMs, int answerFd, bool* answered) {
  if (answered) *answered = false;
  bool answerSeen = false;
  // A pipe gives no signal when it has been drained, so poll for it: a few
  // yields first (a reader that is waiting takes the line at once), then a
  // short back-off; a reader that goes away shows up as POLLERR. A reader
  // that answers announces with its answer that it has read: then the wait
  // needs neither yields nor back-off.
  const uint64_t start = MonotonicMs();
  int pauseMs = 1;
  constexpr int YIELDS = 50;
  int spins = answerFd >= 0 ? YIELDS : 0;
  // With an answer to watch, the line just written is still in the pipe
  // (its reader has had no time to take it): the first look is the wait.
  bool look = answerFd < 0;
  for (;;) {
    int n = 0;
    if (look) {
      if (::ioctl(fd, FIONREAD, &n) < 0) return errno;
      if (n == 0) {
        if (answered) *answered = answerSeen;
        return 0;
      }
      if (spins < YIELDS) {
        ++spins;
        sched_yield();
        continue;
      }
    }
    look = true;
    int wait = pauseMs;
    if (timeoutMs != INFINITE) {
      const uint64_t passed = MonotonicMs() - start;
      if (passed >= timeoutMs) return ETIMEDOUT;
      wait = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(pauseMs), timeoutMs - passed));
    }
    pollfd polls[2] = {{fd, 0, 0}, {answerFd, POLLIN, 0}};
    pollfd& p = polls[0];
    const int r = ::poll(polls, answerFd >= 0 ? 2 : 1, wait);
    if (r < 0 && errno != EINTR) return errno;
    if (r > 0 && polls[1].revents != 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      // An answer (or its end): it stays readable until read, so it is
      // watched no further; if the pipe is not drained yet, the back-off
      // goes on.
      answerFd = -1;
      answerSeen = (polls[1].revents & POLLIN) != 0;
      continue;
    }
    if (r > 0 && (p.revents & (POLLERR | POLLHUP))) {
      // The reader went away; it may have taken everything in first.
      if (::ioctl(fd, FIONREAD, &n) == 0 && n == 0) return 0;
      return EPIPE;
    }
    if (r > 0 && (p.revents & POLLNVAL)) return EBADF;
    pauseMs = std::min(pauseMs * 2, 20);
  }
}

}  // namespace Platform
