#pragma once
// The chart below the engine table: the time each engine computed in each
// step, one line per engine. It reads only the steps completed since its
// last read, at most every REFRESH_INTERVAL, and keeps the run's lines once
// the run is over, until the next run starts. A line has at most
// TChartLines::MAX_POINTS points (a long run's steps drawn in bins).
#include <cstdint>
#include <memory>
#include <vector>

#include <QChartView>

#include "coordination/RunProgress.h"
#include "ui/ChartLines.h"

class ISimulator;
class QValueAxis;

class TComputingChart : public QChartView {
 public:
  static constexpr int REFRESH_INTERVAL = 500;  // ms
  static constexpr int MAX_POINTS = TChartLines::MAX_POINTS;

  explicit TComputingChart(QWidget* parent = nullptr);

  // Follows the run of progress: new steps are read from simulator when
  // REFRESH_INTERVAL has passed since the last read, or at once when forced
  // (no run going on: its last steps). A new run starts the lines afresh.
  void Follow(ISimulator& simulator, const TRunProgress& progress, bool force = false);

  // What the chart shows, for tests.
  int LineCount() const { return static_cast<int>(FLines->Count()); }
  // Engine's points: (step, ms).
  QList<QPointF> Points(int engine) const;
  // Reads made while a run went on (not forced).
  int RunningReads() const { return FRunningReads; }
  // Steps a point stands for.
  size_t StepsPerPoint() const { return FLines->StepsPerPoint(); }
  TChartLines& Lines() { return *FLines; }

 private:
  void Restart(const TRunProgress& progress);

  uint64_t FRun = 0;
  bool FHaveRun = false;
  std::unique_ptr<TChartLines> FLines;
  std::vector<size_t> FRead;  // steps read per engine
  QValueAxis* FSteps = nullptr;
  QValueAxis* FMs = nullptr;
  qint64 FLastReadMs = 0;
  bool FEverRead = false;
  int FRunningReads = 0;
  std::vector<float> FScratch;
  std::vector<double> FValues;
};
