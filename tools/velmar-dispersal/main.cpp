// velmar-dispersal [FRACTION] [--fraction=F] [--close=WORD] [--log=FILE]
//
// An external processor for Velmar Manager: reads one engine call per line
// on standard input and writes exactly one reply line for each. Between
// time steps it moves FRACTION (default 0.1, or $VELMAR_DISPERSAL_FRACTION)
// of every population to the others, keeping the total. Ends at the line
// WORD (default QUIT) or at end of input. --log appends one line per round
// with the totals before and after the move.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "Dispersal.h"

namespace {

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool ParseFraction(const char* text, double& fraction) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end || !(v >= 0.0 && v <= 1.0)) return false;
  fraction = v;
  return true;
}

int Usage(const char* why) {
  std::cerr << "velmar-dispersal: " << why << "\n"
            << "usage: velmar-dispersal [FRACTION] [--fraction=F] [--close=WORD] [--log=FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The manager may close our output at the end of a run; that is no crash.
  std::signal(SIGPIPE, SIG_IGN);
  // Lines are read and written through the streams' own buffers, a read
  // or write call per piece the pipe holds, not a C library call (and its
  // lock) per character.
  std::ios::sync_with_stdio(false);
  std::cin.tie(nullptr);
  double fraction = 0.1;
  if (const char* env = std::getenv("VELMAR_DISPERSAL_FRACTION"); env && *env && !ParseFraction(env, fraction))
    return Usage("VELMAR_DISPERSAL_FRACTION must be a number from 0 to 1");
  std::string closeCommand = "QUIT";
  std::string logPath;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--fraction=", 0) == 0) {
      if (!ParseFraction(a.c_str() + 11, fraction)) return Usage("the fraction must be a number from 0 to 1");
    } else if (a.rfind("--close=", 0) == 0) {
      closeCommand = a.substr(8);
    } else if (a.rfind("--log=", 0) == 0) {
      logPath = a.substr(6);
    } else if (a.empty() || a[0] == '-' || a[0] == '/') {
      return Usage(("unknown option " + a).c_str());
    } else if (!ParseFraction(a.c_str(), fraction)) {
      return Usage("the fraction must be a number from 0 to 1");
    }
  }

  Dispersal::TProcessor processor(fraction);
  std::ofstream log;
  if (!logPath.empty()) log.open(logPath, std::ios::app);
  size_t rounds = 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!closeCommand.empty() && Trimmed(line) == closeCommand) break;
    std::cout << processor.HandleRequest(line) << '\n' << std::flush;
    if (!std::cout) break;  // the manager has gone
    for (; rounds < processor.Rounds().size(); ++rounds)
      if (log.is_open()) log << processor.Rounds()[rounds] << '\n' << std::flush;
  }
  return 0;
}
