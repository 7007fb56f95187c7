#pragma once
// The chart of what the engines report: for "Abundance" the sum of each
// population's stages (Abund[p][*]), one line per engine and population,
// with the steps at which the processor set that engine's abundances
// marked; for any other recorded variable root (K, Pop.North.N, ...) a line
// per engine and index, or one per engine for its total. Like the computing
// chart it takes in only new steps, at most every REFRESH_INTERVAL, and
// keeps its lines after the run until the next one starts.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QChartView>

#include "coordination/RunProgress.h"
#include "ui/ChartLines.h"

class ISimulator;
class QValueAxis;

// What the chart draws: a variable root, by index or as engines' totals.
struct TChartChoice {
  std::string Root = "Abund";
  bool Totals = false;
  bool operator==(const TChartChoice&) const = default;
};

class TPopulationChart : public QChartView {
 public:
  static constexpr int REFRESH_INTERVAL = 500;  // ms
  static constexpr const char* ABUNDANCE = "Abund";

  explicit TPopulationChart(QWidget* parent = nullptr);

  void Follow(ISimulator& simulator, const TRunProgress& progress, const TChartChoice& choice, bool force = false);

  TChartLines& Lines() { return *FLines; }
  // The line of engine's index (its total: index 0 with Totals); -1 when
  // it has none.
  int LineOf(uint32_t engine, size_t index) const;
  const TChartChoice& Choice() const { return FChoice; }

 private:
  void Restart(const TRunProgress& progress, const TChartChoice& choice);
  QString LineName(uint32_t engine, size_t index) const;

  uint64_t FRun = 0;
  bool FHaveRun = false;
  TChartChoice FChoice;
  std::vector<std::string> FModels;
  std::unique_ptr<TChartLines> FLines;
  std::map<std::pair<uint32_t, size_t>, size_t> FLineOf;
  std::vector<size_t> FRead;  // steps read per engine
  QValueAxis* FSteps = nullptr;
  QValueAxis* FValues = nullptr;
  qint64 FLastReadMs = 0;
  uint64_t FSeenGeneration = ~uint64_t{0};
  bool FEverRead = false;
  std::vector<std::vector<float>> FScratch;
};
