#pragma once
// The test binary doubles as the child program of the process tests: when
// started with VELMAR_TEST_CHILD set it does one small job before gtest
// runs, then exits. Reports go to the file in VELMAR_TEST_CHILD_OUT (or to
// standard output when that is not set).
//
//   args   one line per argument after the program, then "cwd=<folder>"
//   env    one line per environment entry, in order
//   fds    the open descriptor numbers, one per line
//   sid    "leader" when the child leads its own session, else "member"
//   sigpipe "default" when SIGPIPE has its default action
//   echo   copies standard input to standard output line by line; exits at
//          the line "quit" or end of input
//   sleep  waits until killed
//   exit:N exits with status N
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace ProcessTestChild {

inline std::string OpenDescriptors() {
  std::string list;
  DIR* d = ::opendir("/proc/self/fd");
  const int own = d ? ::dirfd(d) : -1;
  while (dirent* e = d ? ::readdir(d) : nullptr)
    if (e->d_name[0] != '.' && std::atoi(e->d_name) != own) list += std::string(e->d_name) + "\n";
  if (d) ::closedir(d);
  return list;
}

inline int Run(const char* mode, int argc, char** argv) {
  // Listed before the report file adds a descriptor of its own.
  const std::string fds = OpenDescriptors();
  std::ofstream file;
  if (const char* out = std::getenv("VELMAR_TEST_CHILD_OUT")) file.open(out);
  std::ostream& out = file.is_open() ? static_cast<std::ostream&>(file) : std::cout;
  const std::string m = mode;
  if (m == "args") {
    for (int i = 1; i < argc; ++i) out << argv[i] << "\n";
    char cwd[4096] = {};
    out << "cwd=" << (::getcwd(cwd, sizeof cwd) ? cwd : "?") << "\n";
  } else if (m == "env") {
    for (char** e = environ; *e; ++e) out << *e << "\n";
  } else if (m == "fds") {
    out << fds;
  } else if (m == "sid") {
    out << (::getsid(0) == ::getpid() ? "leader" : "member") << "\n";
  } else if (m == "sigpipe") {
    struct sigaction sa {};
    ::sigaction(SIGPIPE, nullptr, &sa);
    out << (sa.sa_handler == SIG_DFL ? "default" : "changed") << "\n";
  } else if (m == "echo") {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::cout << line << "\n" << std::flush;
      if (line == "quit" || line == "quit\r") break;
    }
  } else if (m == "sleep") {
    for (;;) ::pause();
  } else if (m.rfind("exit:", 0) == 0) {
    out.flush();
    std::_Exit(std::atoi(m.c_str() + 5));
  }
  out.flush();
  std::cout.flush();
  return 0;
}

// Reads the command line from /proc, as main() is not ours here.
inline bool RunIfChild() {
  const char* mode = std::getenv("VELMAR_TEST_CHILD");
  if (!mode) return false;
  // This runs during static initialisation, possibly before the standard
  // streams are set up: an Init object sets them up now.
  static std::ios_base::Init streams;
  std::string all;
  {
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    all.assign(std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>());
  }
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i)
    if (all[i] == '\0') {
      args.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  std::_Exit(Run(mode, static_cast<int>(argv.size()), argv.data()));
}

inline const bool kChildRan = RunIfChild();

// The path of this test binary.
inline std::string SelfPath() {
  char buf[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace ProcessTestChild
