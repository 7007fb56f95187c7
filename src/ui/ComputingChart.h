#pragma once
// The chart below the engine table: the time each engine computed in each
// step, one line per engine. It reads only the steps completed since its
// last read, at most every REFRESH_INTERVAL, and keeps the run's lines once
// the run is over, until the next run starts. A line has at most
// MAX_POINTS points: a long run's steps are drawn in bins (2, 4, 8 ... steps
// a point, the mean of their times), so drawing stays cheap.
#include <cstdint>
#include <vector>

#include <QChartView>

#include "coordination/RunProgress.h"

class ISimulator;
class QLineSeries;
class QValueAxis;

class TComputingChart : public QChartView {
 public:
  static constexpr int REFRESH_INTERVAL = 500;  // ms
  static constexpr int MAX_POINTS = 1000;

  explicit TComputingChart(QWidget* parent = nullptr);

  // Follows the run of progress: new steps are read from simulator when
  // REFRESH_INTERVAL has passed since the last read, or at once when forced
  // (no run going on: its last steps). A new run starts the lines afresh.
  void Follow(ISimulator& simulator, const TRunProgress& progress, bool force = false);

  // What the chart shows, for tests.
  int LineCount() const { return static_cast<int>(FLines.size()); }
  // Engine's points: (step, ms).
  QList<QPointF> Points(int engine) const;
  // Reads made while a run went on (not forced).
  int RunningReads() const { return FRunningReads; }
  // Steps a point stands for.
  size_t StepsPerPoint() const { return FBin; }

 private:
  void Restart(const TRunProgress& progress);
  // Doubles the steps a point stands for, merging each line's points in pairs.
  void Coarsen();

  // The steps read since a line's last point (fewer than FBin).
  struct TPartial {
    double Sum = 0;
    size_t Count = 0;
    size_t FirstStep = 0;
  };

  uint64_t FRun = 0;
  bool FHaveRun = false;
  std::vector<QLineSeries*> FLines;
  std::vector<size_t> FRead;  // steps read per engine
  std::vector<TPartial> FPartial;
  size_t FBin = 1;
  QValueAxis* FSteps = nullptr;
  QValueAxis* FMs = nullptr;
  double FMaxMs = 0;
  size_t FMaxStep = 0;
  qint64 FLastReadMs = 0;
  bool FEverRead = false;
  int FRunningReads = 0;
  std::vector<float> FScratch;
};
