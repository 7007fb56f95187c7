#pragma once
// What the run did: every number an engine reported of its state, and
// every number the processor handed it, kept as the run goes. A saved
// document's run writes them to <document>.states.csv in long form,
//   step,engine,model,source,variable,value
// one row per number (source "state" from a step's "VelmarStateVarsPop",
// "global" from "VelmarStateVarsGlobal" with no step, "modifier" from a
// "StartTimeStep" answer under a flag that is set), each value as it was
// written. The window's chart reads the same numbers per variable root
// ("Abund" of "Abund[0][2]"), and the run's end says each engine's
// abundance.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Calls found for every number of the JSON value text, with its path
// ("Abund[0][2]", "Pop.North.N"; "" for a bare number) and its text as
// written; scalar receives the other scalars (true, false, null, strings
// as written with their quotes). Returns false when the text is not one
// JSON value (what was found before the fault has been reported).
bool ForEachJsonScalar(std::string_view text, const std::function<void(std::string_view path, std::string_view number)>& found,
                       const std::function<void(std::string_view path, std::string_view scalar)>& scalar = {});

struct TRunEngine;

// An engine's part: what it reported, for the chart and the run's end.
struct TStatePart {
  struct TRootSeries {
    size_t Root = 0;                        // index into the record's roots
    std::vector<std::vector<float>> Steps;  // per step, per first index
  };
  std::string Model;  // its model's file name, without the folder
  std::vector<TRootSeries> Series;
  std::vector<uint32_t> AbundanceSet;
  bool HasAbundance = false;
  uint32_t LastStep = 0;
  double LastTotal = 0, LowestTotal = 0;
  uint32_t LowestStep = 0;
};

class TStateRecord {
 public:
  // Each engine's part is kept in the run's engine.
  explicit TStateRecord(std::vector<TRunEngine>& engines) : FEngines(engines) {}
  TStateRecord(const TStateRecord&) = delete;
  TStateRecord& operator=(const TStateRecord&) = delete;

  // Numbers one call may add at most; a call with more is cut, with one
  // Warn line a run.
  static constexpr size_t MAX_NUMBERS_PER_CALL = 10'000;
  // Values kept for the chart across the run, at most (4 bytes each): a very
  // long run of many engines keeps its file whole but its chart stops.
  static constexpr size_t MAX_CHART_VALUES = 32u * 1024 * 1024;

  // A new run of engines running modelFiles (the first of the run's
  // engines). path: the states file, emptied
  // now ("" writes none). filter: the [Record] Variables setting.
  void RunStarting(const std::string& path, const std::vector<std::string>& modelFiles, const std::string& filter);
  // The numbers of a call's request text under params.member: a
  // "StartSimulation" (global) or a "StopTimeStep" of step (state).
  void Global(uint32_t engine, std::string_view request);
  // Returns the engine's total abundance (every Abund number) at that
  // step, when it reported any.
  std::optional<double> State(uint32_t engine, uint32_t step, std::string_view request);
  // The processor's answer to engine's "StartTimeStep" of step.
  void Modifier(uint32_t engine, uint32_t step, std::string_view answer);
  // One line per engine that reported "Abund": its last step and total,
  // its lowest total and the step of it. Closes the file.
  std::vector<std::string> RunEnded();

  const std::string& Path() const { return FPath; }
  // Whether the file could not be written at some point of the run.
  bool WriteFailed() const { return FWriteFailed; }

  // ---- For the chart ----
  // The variable roots engines reported, in the order first seen.
  const std::vector<std::string>& Roots() const { return FRoots; }
  // engine's values of root from step `from` on, one entry per step with a
  // value per first index (the rest of a path summed: Abund[p][*]);
  // returns the number of steps kept for it.
  size_t Series(uint32_t engine, std::string_view root, size_t from, std::vector<std::vector<float>>& out) const;
  // The steps from `from` on at which the processor set engine's abundances.
  std::vector<uint32_t> AbundanceSetAt(uint32_t engine, size_t from) const;
  // Moves whenever something new is kept.
  uint64_t Generation() const { return FGeneration; }

 private:
  using TRootSeries = TStatePart::TRootSeries;
  TStatePart& Part(size_t engine) const;
  bool Wanted(std::string_view path) const;
  void Row(std::string& rows, std::string_view step, uint32_t engine, std::string_view source, std::string_view path,
           std::string_view value);
  void Write(const std::string& rows);
  // Keeps a call's rows for their place in the file: the start's numbers
  // (step nullopt), then each step, engine by engine. A step's rows go out
  // once a later step's come (every engine has reported it: the barrier
  // starts no step before the one before it is complete everywhere), the
  // start's with step 0, and whatever is left when the run ends; rows for a
  // place already written go out at once.
  void Place(std::optional<uint32_t> step, uint32_t engine, std::string&& rows);
  void WriteKeptBefore(uint32_t step);
  void NoteCut(uint32_t engine);
  void KeepForChart(TStatePart& e, uint32_t step, std::string_view path, double value);

  std::string FPath;
  int FFd = -1;
  // Rows not written yet, per engine: those of the steps from FKeptFrom on,
  // and the start's while FKeptFrom is 0 (they go out with step 0's).
  std::vector<std::string> FKeptGlobal;
  uint32_t FKeptFrom = 0;
  std::map<uint32_t, std::vector<std::string>> FKeptSteps;
  bool FWriteFailed = false;
  bool FCutReported = false;
  std::vector<std::string> FFilter;
  std::vector<TRunEngine>& FEngines;
  size_t FCount = 0;  // the engines of the run
  std::vector<std::string> FRoots;
  size_t FChartValues = 0;
  uint64_t FGeneration = 0;
};
