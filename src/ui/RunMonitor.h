#pragma once
// The Simulation tab's view of a run: a table with one row per engine and
// the progress bar above it.
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTableWidget>

#include "coordination/RunProgress.h"

// A progress bar that can show a text while it is a busy indicator (Qt's
// own bar shows none then).
class TRunProgressBar : public QProgressBar {
 public:
  using QProgressBar::QProgressBar;
  QString text() const override;

  // Starting: the share of engines initialised. Running: a busy indicator
  // with "Time step N", N the lowest step completed by a simulating engine,
  // the time since the start and the steps a second. Idle: empty.
  enum TPhase { rpIdle, rpStarting, rpRunning };
  void Show(TPhase phase, const TRunProgress& progress);
  TPhase Phase() const { return FPhase; }
  // "m:ss" (or "h:mm:ss") for ms milliseconds.
  static QString ElapsedText(int64_t ms);

 private:
  QString RateText(uint32_t step) const;
  TPhase FPhase = rpIdle;
  QElapsedTimer FRunClock;
  QString FBusyText;
};

class TEngineTable : public QTableWidget {
 public:
  enum TColumn { ecModel, ecFile, ecPid, ecState, ecStep, ecComputing, ecHeldShare, ecPace, ecHeld, ecCount };
  // The pace column's text for the engine that held the others most over
  // the last 10 steps.
  static constexpr const char* PACE_MARK = "sets the pace";

  explicit TEngineTable(QWidget* parent = nullptr);
  // Rows and cells follow the snapshot; only cells whose text changed are
  // touched.
  void ShowRows(const TRunProgress& progress);
  // The output file of a row's engine; empty when its output is not in a file.
  std::string OutputFileOf(int row) const;
  // The text of one cell ("" for a missing cell).
  QString Cell(int row, int column) const;

 private:
  void SetCell(int row, int column, const QString& text);
  // A row's tooltip: where its output is and, for a failed engine, the
  // output's last lines.
  static QString TipOf(const TEngineProgress& engine);
  std::vector<std::string> FOutputFiles;
  std::vector<QString> FTips;
};
