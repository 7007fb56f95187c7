#pragma once
// Reads a trace as TTraceWriter writes it: the complete file, and one cut
// off anywhere by a manager that was killed (the closing "]" missing, the
// last line unfinished).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TTraceEvent {
  std::string Name;
  std::string Phase;  // "X", "i", "M"
  int64_t Track = 0;  // "tid": 0 the manager, N + 1 engine N
  int64_t Ts = 0;     // microseconds since the run started
  int64_t Dur = 0;
  std::optional<int64_t> Step;  // "args": {"step": N}
  std::string Call;             // "args": {"call": ...}
};

struct TTrace {
  std::vector<TTraceEvent> Events;  // metadata events left out
  std::map<int64_t, std::string> TrackNames;
  bool Complete = false;  // the array was closed
  bool CutLine = false;   // an unfinished last line was left out

  // The spans of one name on one track, in the file's order.
  std::vector<TTraceEvent> Spans(int64_t track, std::string_view name) const;
  // The track named name; none when no track has it.
  std::optional<int64_t> TrackNamed(std::string_view name) const;
};

// None when text is not such a trace: not starting with "[", or a line
// before the last that is not an event.
std::optional<TTrace> ReadTrace(std::string_view text);
std::optional<TTrace> ReadTraceFile(const std::string& path);
