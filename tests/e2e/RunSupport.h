#pragma once
// What the whole-run tests read back from a run: the engines' results files,
// the process's open descriptors and its child processes, and whether the
// engines kept in step.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace RunSupport {

// The reference engine's results file: one row per year, ending with the
// total and the monotonic start and stop of the year.
struct TResults {
  std::vector<int64_t> Total, StartNs, StopNs;
};

inline TResults ReadResults(const std::string& path) {
  TResults r;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream s(line);
    std::string cell;
    while (std::getline(s, cell, ',')) cells.push_back(cell);
    if (cells.size() < 4) continue;
    r.Total.push_back(std::stoll(cells[cells.size() - 3]));
    r.StartNs.push_back(std::stoll(cells[cells.size() - 2]));
    r.StopNs.push_back(std::stoll(cells[cells.size() - 1]));
  }
  return r;
}

// No engine began year k before every engine that was simulating by then had
// finished year k-1. An engine counts as simulating for a's year k when it
// began its first year before a finished year k-1, that is before a even
// asked to start year k. (Comparing with a's own start of year k instead
// would count an engine that joined while a's reply was on its way, which the
// barrier rightly did not wait for.) Returns the first pair out of step;
// compared counts the pairs checked.
inline std::optional<std::string> LockstepViolation(const std::vector<TResults>& results, size_t years,
                                                    size_t& compared) {
  compared = 0;
  for (size_t k = 2; k <= years; ++k)
    for (size_t a = 0; a < results.size(); ++a)
      for (size_t b = 0; b < results.size(); ++b) {
        if (results[b].StartNs[1] >= results[a].StopNs[k - 1]) continue;
        ++compared;
        if (results[a].StartNs[k] < results[b].StopNs[k - 1])
          return "engine " + std::to_string(a) + " began year " + std::to_string(k) + " before engine " +
                 std::to_string(b) + " had finished year " + std::to_string(k - 1);
      }
  return std::nullopt;
}

// What /proc/self/fd points at, one entry per open descriptor.
inline std::multiset<std::string> OpenDescriptors() {
  std::multiset<std::string> out;
  if (DIR* d = opendir("/proc/self/fd")) {
    const int own = dirfd(d);
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
      char target[512] = {};
      const ssize_t n = readlinkat(own, e->d_name, target, sizeof target - 1);
      std::string what = n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("?");
      // "socket:[1234]" and the like: the kind matters, not the inode.
      if (what.size() > 2 && what.back() == ']' && what.find(":[") != std::string::npos) what.erase(what.find(":["));
      out.insert(what);
    }
    closedir(d);
  }
  return out;
}

inline int OpenDescriptorCount() { return static_cast<int>(OpenDescriptors().size()); }

// This process's children, zombies included, as "pid state (name)".
inline std::vector<std::string> ChildProcesses() {
  std::vector<std::string> out;
  const std::string me = std::to_string(getpid());
  DIR* d = opendir("/proc");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string stat;
    std::getline(in, stat);
    // pid (name) state ppid ...; the name may hold blanks and parentheses.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state, ppid;
    rest >> state >> ppid;
    if (ppid == me) out.push_back(std::string(e->d_name) + " " + state + " " + stat.substr(0, close + 1));
  }
  closedir(d);
  return out;
}

}  // namespace RunSupport
