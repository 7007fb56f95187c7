#include "coordination/TraceReader.h"

#include "Shared/JSON.h"
#include "platform/FileShare.h"

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

int64_t IntegerOf(const IJsonValue& value) { return value ? JsonAsInteger(value) : 0; }

}  // namespace

std::vector<TTraceEvent> TTrace::Spans(int64_t track, std::string_view name) const {
  std::vector<TTraceEvent> out;
  for (const TTraceEvent& e : Events)
    if (e.Phase == "X" && e.Track == track && e.Name == name) out.push_back(e);
  return out;
}

std::optional<int64_t> TTrace::TrackNamed(std::string_view name) const {
  for (const auto& [track, trackName] : TrackNames)
    if (trackName == name) return track;
  return std::nullopt;
}

std::optional<TTrace> ReadTrace(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.front() != '[') return std::nullopt;
  text.remove_prefix(1);
  TTrace trace;
  // One event a line; the writer never breaks an event across lines.
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t lf = text.find('\n', at);
    const size_t end = lf == std::string_view::npos ? text.size() : lf;
    if (std::string_view line = Trim(text.substr(at, end - at)); !line.empty()) lines.push_back(line);
    at = end + 1;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    const bool last = i + 1 == lines.size();
    if (line == "]") {
      if (!last) return std::nullopt;
      trace.Complete = true;
      break;
    }
    if (line.back() == ',') line.remove_suffix(1);
    const IJsonValue event = JsonParse(line);
    if (!event || !event->IsObject()) {
      // Only the last line may be unfinished: the writer was killed there.
      if (!last) return std::nullopt;
      trace.CutLine = true;
      break;
    }
    TTraceEvent e;
    e.Name = JsonMemberAsText(event, "name");
    e.Phase = JsonMemberAsText(event, "ph");
    e.Track = IntegerOf(JsonMember(event, "tid"));
    const IJsonValue args = JsonMember(event, "args");
    if (e.Phase == "M") {
      if (e.Name == "thread_name") trace.TrackNames[e.Track] = JsonMemberAsText(args, "name");
      continue;
    }
    e.Ts = IntegerOf(JsonMember(event, "ts"));
    e.Dur = IntegerOf(JsonMember(event, "dur"));
    if (const IJsonValue step = JsonMember(args, "step")) e.Step = IntegerOf(step);
    if (JsonMember(args, "call")) e.Call = JsonMemberAsText(args, "call");
    trace.Events.push_back(std::move(e));
  }
  return trace;
}

std::optional<TTrace> ReadTraceFile(const std::string& path) {
  const std::optional<std::string> text = Platform::ReadWholeFile(path);
  return text ? ReadTrace(*text) : std::nullopt;
}
