#pragma once
// A run as a trace in the Trace Event Format (the JSON array that Perfetto
// and chrome://tracing open), written as the run goes: "[", then one event
// a line, each ending in ",". The array format allows the closing "]" to be
// missing, so a manager killed half way leaves a file the viewers still
// open; a run that ends closes the array.
//
// Tracks (threads of one process): 0 the manager (run start, launches,
// end), engine N on track N + 1, named "Velmar #N (model file)". Times
// ("ts", "dur") are microseconds since the run started.
#include <cstdint>
#include <string>
#include <string_view>

class TTraceWriter {
 public:
  // The buffer goes to the file when it holds this much, or when this long
  // has passed since the last write, at the next event.
  static constexpr size_t FLUSH_BYTES = 64 * 1024;
  static constexpr uint64_t FLUSH_INTERVAL_US = 200 * 1000;

  TTraceWriter() = default;
  ~TTraceWriter();
  TTraceWriter(const TTraceWriter&) = delete;
  TTraceWriter& operator=(const TTraceWriter&) = delete;

  // Creates (or empties) the file, never through a symbolic link at the
  // last element of its path, and writes the array's start and the
  // manager's track. Returns 0, or the errno value of the failure.
  int Open(const std::string& path, uint64_t runStartUs);
  bool IsOpen() const { return FFd >= 0; }
  // Names engine's track.
  void NameEngine(uint32_t engine, std::string_view modelFile);
  // A complete event ("ph":"X") on engine's track with the step in "args";
  // call, when not empty, names the call the span belongs to.
  void Span(uint32_t engine, std::string_view name, uint64_t startUs, uint64_t endUs, uint32_t step,
            std::string_view call = {});
  // A counter event ("ph":"C") on engine's track: viewers draw its values
  // as a graph under the spans.
  void Counter(uint32_t engine, std::string_view name, uint64_t atUs, double value);
  // An instant event on the manager's track; engine, when given, goes in
  // "args" with pid (a launch).
  void ManagerEvent(std::string_view name, uint64_t atUs, int64_t engine = -1, int64_t pid = -1);
  // The run's end on the manager's track, the closing "]", and the file closed.
  // The run-end event carries the run's fingerprint when it has one.
  void Close(uint64_t atUs, std::string_view fingerprint = {});
  // Hands what is buffered to the file. A write that fails logs an Error
  // line naming the file, and the trace ends there.
  void Flush();
  // The errno value of the last run's failure to open or write the file;
  // 0 when there was none.
  int Failure() const { return FFailure; }

 private:
  void Timestamp(std::string_view key, uint64_t us);
  void EndEvent(uint64_t nowUs);

  int FFd = -1;
  uint64_t FStartUs = 0;
  uint64_t FFlushedUs = 0;
  std::string FBuffer;
  std::string FPath;
  int FFailure = 0;
};

// text as a JSON string, quotes included.
std::string JsonQuoted(std::string_view text);
