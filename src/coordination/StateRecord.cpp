// What the run did (see StateRecord.h).
#include "coordination/StateRecord.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "coordination/RunEngine.h"
#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "platform/Files.h"
#include "platform/Events.h"
#include "platform/Process.h"
#include "platform/TempFile.h"

namespace {

constexpr char STATES_HEADER[] = "step,engine,model,source,variable,value\r\n";
// Where the numbers of a call lie within its request or answer.
constexpr char GLOBAL_PREFIX[] = "params.VelmarStateVarsGlobal";
constexpr char STATE_PREFIX[] = "params.VelmarStateVarsPop";
constexpr char MODIFIER_PREFIX[] = "result.modifier";
// A modifier's numbers and the flags that say they are set.
constexpr char FLAGGED[4][2][12] = {{"Abund", "ChangeAbund"}, {"K", "ChangeK"}, {"Vital", "ChangeVital"}, {"Disp", "ChangeDisp"}};
// Deeper than any state an engine sends; a text nested deeper is not walked.
constexpr int MAX_DEPTH = 512;

// Walks one JSON value, told its scalars with their paths. The text was
// checked by the JSON reader already; a fault ends the walk all the same.
class TWalker {
 public:
  using TFound = std::function<void(std::string_view, std::string_view)>;
  TWalker(std::string_view text, const TFound& number, const TFound& scalar)
      : T(text), Number(number), Scalar(scalar) {}

  bool Walk() {
    if (!Value(0)) return false;
    Blank();
    return I == T.size();
  }

 private:
  bool More() const { return I < T.size(); }
  void Blank() {
    while (More() && (T[I] == ' ' || T[I] == '\t' || T[I] == '\n' || T[I] == '\r')) ++I;
  }
  bool String() {
    for (++I; More(); ++I) {
      if (T[I] == '\\')
        ++I;
      else if (T[I] == '"') {
        ++I;
        return true;
      }
    }
    return false;
  }
  // After an item of a container: true when a comma says another follows;
  // false at the container's close (ok) or at a fault (not ok).
  bool Another(char close, bool& ok) {
    Blank();
    ok = false;
    if (!More()) return false;
    if (T[I] == ',') return ++I, true;
    ok = T[I] == close;
    if (ok) ++I;
    return false;
  }
  bool Literal(std::string_view word) {
    if (T.substr(I, word.size()) != word) return false;
    I += word.size();
    if (Scalar) Scalar(Path, word);
    return true;
  }
  bool Value(int depth) {
    Blank();
    if (!More() || depth > MAX_DEPTH) return false;
    const char c = T[I];
    if (c == '{') return Object(depth);
    if (c == '[') return Array(depth);
    if (c == '"') {
      const size_t from = I;
      if (!String()) return false;
      if (Scalar) Scalar(Path, T.substr(from, I - from));
      return true;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      const size_t from = I;
      while (More() && (std::isdigit(static_cast<unsigned char>(T[I])) || T[I] == '-' || T[I] == '+' || T[I] == '.' ||
                        T[I] == 'e' || T[I] == 'E'))
        ++I;
      Number(Path, T.substr(from, I - from));
      return true;
    }
    return Literal("true") || Literal("false") || Literal("null");
  }
  bool Object(int depth) {
    ++I;
    Blank();
    if (More() && T[I] == '}') return ++I, true;
    for (;;) {
      Blank();
      if (!More() || T[I] != '"') return false;
      const size_t from = I;
      if (!String()) return false;
      const std::string_view name = T.substr(from + 1, I - from - 2);
      Blank();
      if (!More() || T[I] != ':') return false;
      ++I;
      const size_t keep = Path.size();
      if (!Path.empty()) Path += '.';
      Path += name;
      if (!Value(depth + 1)) return false;
      Path.resize(keep);
      if (bool ok = false; !Another('}', ok)) return ok;
    }
  }
  bool Array(int depth) {
    ++I;
    Blank();
    if (More() && T[I] == ']') return ++I, true;
    for (size_t index = 0;; ++index) {
      const size_t keep = Path.size();
      Path += '[';
      Path += std::to_string(index);
      Path += ']';
      if (!Value(depth + 1)) return false;
      Path.resize(keep);
      if (bool ok = false; !Another(']', ok)) return ok;
    }
  }

  std::string_view T;
  size_t I = 0;
  std::string Path;
  const TFound& Number;
  const TFound& Scalar;
};

// path lies under prefix: equal, or going on with a member or an index.
bool Under(std::string_view path, std::string_view prefix) {
  if (path.substr(0, prefix.size()) != prefix) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '.' || path[prefix.size()] == '[';
}

// path below prefix, without the dot that joins them.
std::string_view Below(std::string_view path, std::string_view prefix) {
  path.remove_prefix(prefix.size());
  if (!path.empty() && path.front() == '.') path.remove_prefix(1);
  return path;
}

double ToDouble(std::string_view number) {
  double value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  return ec == std::errc() && end == number.data() + number.size() ? value : 0.0;
}

// A total as a person reads it: whole numbers without a fraction.
std::string Amount(double v) {
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) return std::to_string(static_cast<int64_t>(v));
  return TextUtils::SafeFormat("%g", v);
}

// The root of a variable ("Abund" of "Abund[0][2]", "Pop.North.N" as it is)
// and its first index (0 without one).
std::string_view RootOf(std::string_view path, size_t& index) {
  index = 0;
  const size_t open = path.find('[');
  if (open == std::string_view::npos) return path;
  size_t i = open + 1;
  while (i < path.size() && path[i] >= '0' && path[i] <= '9') index = index * 10 + static_cast<size_t>(path[i++] - '0');
  return path.substr(0, open);
}

}  // namespace

bool ForEachJsonScalar(std::string_view text, const std::function<void(std::string_view, std::string_view)>& found,
                       const std::function<void(std::string_view, std::string_view)>& scalar) {
  return TWalker(text, found, scalar).Walk();
}

void TStateRecord::RunStarting(const std::string& path, const std::vector<std::string>& modelFiles,
                               const std::string& filter) {
  if (FFd >= 0) Platform::CloseHandleClear(FFd);
  FPath.clear();
  FWriteFailed = false;
  FCutReported = false;
  CoverEngines(FEngines, modelFiles.size());
  FCount = modelFiles.size();
  for (size_t i = 0; i < FCount; ++i) {
    Part(i) = TStatePart{};
    Part(i).Model = Platform::ExtractFileName(modelFiles[i]);
  }
  FRoots.clear();
  FChartValues = 0;
  ++FGeneration;
  FKeptGlobal.assign(FCount, std::string());
  FKeptFrom = 0;
  FKeptSteps.clear();
  FFilter.clear();
  for (std::string_view rest = filter; !rest.empty();) {
    const size_t comma = rest.find(',');
    const std::string item = TextUtils::Trim(rest.substr(0, comma));
    if (!item.empty()) FFilter.push_back(item);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  if (path.empty()) return;
  int fd = -1;
  if (const int error = Platform::CreateOutputFile(path, fd); error != 0) {
    Logger().Error("Could not create \"%s\" for the engines' states: %s", path, Platform::OpenErrorMessage(error));
    return;
  }
  FFd = fd;
  FPath = path;
  Write(STATES_HEADER);
}

TStatePart& TStateRecord::Part(size_t engine) const { return FEngines[engine].States; }

bool TStateRecord::Wanted(std::string_view path) const {
  if (FFilter.empty()) return true;
  for (const std::string& f : FFilter)
    if (Under(path, f)) return true;
  return false;
}

void TStateRecord::Row(std::string& rows, std::string_view step, uint32_t engine, std::string_view source,
                       std::string_view path, std::string_view value) {
  // Without a file (an untitled document, or one that failed) only the
  // chart and the run's end take the numbers.
  if (FFd < 0) return;
  rows += step;
  rows += ',';
  rows += std::to_string(engine);
  rows += ',';
  rows += TextUtils::CsvField(Part(engine).Model);
  rows += ',';
  rows += source;
  rows += ',';
  rows += TextUtils::CsvField(path);
  rows += ',';
  rows += value;
  rows += "\r\n";
}

void TStateRecord::Write(const std::string& rows) {
  if (FFd < 0 || rows.empty()) return;
  // Rows go out as soon as their place is known: a manager that dies leaves
  // every step before the one under way.
  if (Platform::WriteFd(FFd, rows.data(), static_cast<int64_t>(rows.size())) != static_cast<int64_t>(rows.size())) {
    FWriteFailed = true;
    Logger().Error("Could not write to \"%s\"; the engines' states of the rest of the run are not kept in it", FPath);
    Platform::CloseHandleClear(FFd);
  }
}

void TStateRecord::Place(std::optional<uint32_t> step, uint32_t engine, std::string&& rows) {
  if (FFd < 0 || rows.empty()) return;
  if (!step) {
    if (FKeptFrom > 0) return Write(rows);
    FKeptGlobal[engine] += rows;
    return;
  }
  if (*step < FKeptFrom) return Write(rows);
  std::vector<std::string>& kept = FKeptSteps[*step];
  if (kept.empty()) kept.resize(FCount);
  kept[engine] += rows;
  WriteKeptBefore(*step);
}

void TStateRecord::WriteKeptBefore(uint32_t step) {
  // The start's numbers are all in once a step after the first has begun;
  // a step's once the next has.
  if (step == 0) return;
  std::string rows;
  if (FKeptFrom == 0) {
    for (std::string& engine : FKeptGlobal) rows += engine;
    FKeptGlobal.assign(FCount, std::string());
  }
  while (!FKeptSteps.empty() && FKeptSteps.begin()->first < step) {
    for (const std::string& engine : FKeptSteps.begin()->second) rows += engine;
    FKeptSteps.erase(FKeptSteps.begin());
  }
  FKeptFrom = std::max(FKeptFrom, step);
  Write(rows);
}

void TStateRecord::NoteCut(uint32_t engine) {
  if (FCutReported) return;
  FCutReported = true;
  Logger().Warn("A call of Velmar #%d held more than %d numbers; the states file keeps the first %d of each such call",
                engine, static_cast<uint32_t>(MAX_NUMBERS_PER_CALL), static_cast<uint32_t>(MAX_NUMBERS_PER_CALL));
}

void TStateRecord::KeepForChart(TStatePart& e, uint32_t step, std::string_view path, double value) {
  size_t index = 0;
  const std::string_view root = RootOf(path, index);
  if (root.empty() || index > 100'000 || step > 100'000'000) return;
  TRootSeries* series = nullptr;
  for (TRootSeries& s : e.Series)
    if (FRoots[s.Root] == root) series = &s;
  if (!series) {
    size_t r = 0;
    while (r < FRoots.size() && FRoots[r] != root) ++r;
    if (r == FRoots.size()) FRoots.emplace_back(root);
    e.Series.push_back({r, {}});
    series = &e.Series.back();
  }
  if (series->Steps.size() <= step) series->Steps.resize(step + 1);
  std::vector<float>& at = series->Steps[step];
  if (at.size() <= index) {
    if (FChartValues + (index + 1 - at.size()) > MAX_CHART_VALUES) return;
    FChartValues += index + 1 - at.size();
    at.resize(index + 1, 0.0f);
  }
  at[index] += static_cast<float>(value);
}

void TStateRecord::Global(uint32_t engine, std::string_view request) {
  if (engine >= FCount) return;
  const std::string_view PREFIX = GLOBAL_PREFIX;
  std::string rows;
  size_t numbers = 0;
  ForEachJsonScalar(request, [&](std::string_view path, std::string_view number) {
    if (!Under(path, PREFIX)) return;
    const std::string_view variable = Below(path, PREFIX);
    if (!Wanted(variable)) return;
    if (++numbers > MAX_NUMBERS_PER_CALL) return NoteCut(engine);
    Row(rows, "", engine, "global", variable, number);
  });
  Place(std::nullopt, engine, std::move(rows));
}

std::optional<double> TStateRecord::State(uint32_t engine, uint32_t step, std::string_view request) {
  if (engine >= FCount) return std::nullopt;
  const std::string_view PREFIX = STATE_PREFIX;
  TStatePart& e = Part(engine);
  const std::string stepText = std::to_string(step);
  std::string rows;
  size_t numbers = 0;
  double abundance = 0;
  bool hasAbundance = false;
  ForEachJsonScalar(request, [&](std::string_view path, std::string_view number) {
    if (!Under(path, PREFIX)) return;
    const std::string_view variable = Below(path, PREFIX);
    const double value = ToDouble(number);
    if (Under(variable, "Abund")) {
      hasAbundance = true;
      abundance += value;
    }
    if (!Wanted(variable)) return;
    if (++numbers > MAX_NUMBERS_PER_CALL) return NoteCut(engine);
    Row(rows, stepText, engine, "state", variable, number);
    KeepForChart(e, step, variable, value);
  });
  Place(step, engine, std::move(rows));
  if (hasAbundance) {
    if (!e.HasAbundance || abundance < e.LowestTotal) {
      e.LowestTotal = abundance;
      e.LowestStep = step;
    }
    e.HasAbundance = true;
    e.LastStep = step;
    e.LastTotal = abundance;
  }
  ++FGeneration;
  return hasAbundance ? std::optional<double>(abundance) : std::nullopt;
}

void TStateRecord::Modifier(uint32_t engine, uint32_t step, std::string_view answer) {
  if (engine >= FCount) return;
  const std::string_view PREFIX = MODIFIER_PREFIX;
  bool set[4] = {};
  std::vector<std::pair<std::string, std::string_view>> numbers;
  ForEachJsonScalar(
      answer,
      [&](std::string_view path, std::string_view number) {
        if (!Under(path, PREFIX)) return;
        const std::string_view variable = Below(path, PREFIX);
        for (const auto& f : FLAGGED)
          if (Under(variable, f[0])) numbers.emplace_back(variable, number);
      },
      [&](std::string_view path, std::string_view scalar) {
        if (!Under(path, PREFIX)) return;
        const std::string_view variable = Below(path, PREFIX);
        for (size_t k = 0; k < 4; ++k)
          if (variable == std::string_view(FLAGGED[k][1])) set[k] = scalar == "true";
      });
  const std::string stepText = std::to_string(step);
  std::string rows;
  size_t kept = 0;
  for (const auto& [variable, number] : numbers) {
    size_t k = 0;
    while (!Under(variable, FLAGGED[k][0])) ++k;
    if (!set[k] || !Wanted(variable)) continue;
    if (++kept > MAX_NUMBERS_PER_CALL) {
      NoteCut(engine);
      break;
    }
    Row(rows, stepText, engine, "modifier", variable, number);
  }
  Place(step, engine, std::move(rows));
  if (set[0]) {
    Part(engine).AbundanceSet.push_back(step);
    ++FGeneration;
  }
}

std::vector<std::string> TStateRecord::RunEnded() {
  std::vector<std::string> lines;
  for (size_t i = 0; i < FCount; ++i) {
    const TStatePart& e = Part(i);
    if (!e.HasAbundance) continue;
    lines.push_back(TextUtils::SafeFormat("Velmar #%d (%s): step %d, abundance %s; lowest %s at step %d", i, e.Model,
                                          e.LastStep, Amount(e.LastTotal), Amount(e.LowestTotal), e.LowestStep));
  }
  if (FFd >= 0) {
    WriteKeptBefore(UINT32_MAX);
    // A failed write has closed the file already.
    if (FFd >= 0) Platform::CloseHandleClear(FFd);
  }
  return lines;
}

size_t TStateRecord::Series(uint32_t engine, std::string_view root, size_t from,
                            std::vector<std::vector<float>>& out) const {
  if (engine >= FCount) return 0;
  for (const TRootSeries& s : Part(engine).Series) {
    if (FRoots[s.Root] != root) continue;
    for (size_t step = from; step < s.Steps.size(); ++step) out.push_back(s.Steps[step]);
    return s.Steps.size();
  }
  return 0;
}

std::vector<uint32_t> TStateRecord::AbundanceSetAt(uint32_t engine, size_t from) const {
  if (engine >= FCount) return {};
  // Kept in step order: only the steps a chart has not read yet are copied.
  const std::vector<uint32_t>& set = Part(engine).AbundanceSet;
  return {std::lower_bound(set.begin(), set.end(), from, [](uint32_t s, size_t f) { return s < f; }), set.end()};
}
