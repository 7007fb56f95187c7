#pragma once
// The charts below the engine table, one at a time as the picker above them
// says: "Computing time per step", or a variable the engines report
// ("Abundance", the sum of each population's stages, is chosen by itself
// after the first step when the engines report Abund, unless the user has
// picked a chart). A list beside the chart is its legend, one entry per line
// with its colour; it scrolls, so it never vanishes, and a selected entry
// draws its line wider. Under the pointer a readout gives every line's
// value at that step. The choice is kept for the session.
#include <string>
#include <vector>

#include <QWidget>

#include "coordination/RunProgress.h"
#include "ui/PopulationChart.h"

class ISimulator;
class QComboBox;
class QListWidget;
class QStackedWidget;
class TChartLines;
class TComputingChart;

class TRunCharts : public QWidget {
 public:
  static constexpr const char* COMPUTING = "Computing time per step";
  static constexpr const char* ABUNDANCE = "Abundance";

  explicit TRunCharts(QWidget* parent = nullptr);

  // Follows the run in the chart shown (the other waits until shown).
  void Follow(ISimulator& simulator, const TRunProgress& progress, bool force = false);

  TComputingChart* Computing() const { return FComputing; }
  TPopulationChart* Population() const { return FPopulation; }
  QComboBox* Picker() const { return FPicker; }
  QListWidget* Legend() const { return FLegend; }
  // The chart shown: the picker's text.
  std::string Shown() const;
  // Shows the chart of that picker entry, as the user picking it does.
  bool Pick(const std::string& entry);
  // "step N" and every line's value at step N of the chart shown, as the
  // readout under the pointer gives them.
  std::string Readout(size_t step);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void UpdatePicker(ISimulator& simulator);
  void Picked();
  TChartLines& ShownLines() const;
  void UpdateLegend();

  QComboBox* FPicker = nullptr;
  QStackedWidget* FStack = nullptr;
  TComputingChart* FComputing = nullptr;
  TPopulationChart* FPopulation = nullptr;
  QListWidget* FLegend = nullptr;
  std::vector<std::string> FRoots;
  bool FUserPicked = false;
  bool FFilling = false;
  size_t FLegendLines = ~size_t{0};
  bool FLegendMarks = false;
  const TChartLines* FLegendOf = nullptr;
  ISimulator* FSimulator = nullptr;
  TRunProgress FProgress;
};
