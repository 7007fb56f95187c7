#include "ui/RunMonitor.h"

#include <algorithm>

#include <QHeaderView>

QString TRunProgressBar::ElapsedText(int64_t ms) {
  const int64_t seconds = ms / 1000;
  if (seconds >= 3600)
    return QString("%1:%2:%3").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QChar('0')).arg(seconds % 60, 2, 10, QChar('0'));
  return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
}

QString TRunProgressBar::RateText(uint32_t step) const {
  const int64_t ms = FRunClock.isValid() ? FRunClock.elapsed() : 0;
  QString text = ", " + ElapsedText(ms) + " elapsed";
  if (ms >= 1000 && step > 0) text += QString(", %1 steps/s").arg(step * 1000.0 / static_cast<double>(ms), 0, 'f', 1);
  return text;
}

QString TRunProgressBar::text() const {
  if (FPhase == rpRunning) return FBusyText;
  return QProgressBar::text();
}

void TRunProgressBar::Show(TPhase phase, const TRunProgress& progress) {
  // The run's clock starts with its start, and goes on while it runs.
  if (phase == rpIdle) FRunClock.invalidate();
  else if (!FRunClock.isValid()) FRunClock.start();
  FPhase = phase;
  switch (phase) {
    case rpIdle:
      setRange(0, 100);
      setValue(0);
      setFormat(QString());
      setTextVisible(false);
      FBusyText.clear();
      break;
    case rpStarting: {
      const int total = static_cast<int>(progress.Engines.size());
      setRange(0, std::max(total, 1));
      setValue(static_cast<int>(progress.InitialisedCount()));
      setFormat("%v of %m engines initialised");
      setTextVisible(total > 0);
      FBusyText.clear();
      break;
    }
    case rpRunning: {
      const std::optional<uint32_t> step = progress.LowestSimulatingStep();
      FBusyText = step ? QString("Time step %1").arg(*step) + RateText(*step) : QString();
      setRange(0, 0);
      setTextVisible(!FBusyText.isEmpty());
      update();
      break;
    }
  }
}

TEngineTable::TEngineTable(QWidget* parent) : QTableWidget(0, ecCount, parent) {
  setHorizontalHeaderLabels(
      {"Model", "File", "PID", "State", "Step", "Computing/step", "Held share", "Pace", "Held at the barrier"});
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setAlternatingRowColors(true);
  // One line a row: a long path is shortened in its middle, where the
  // folder and the file's name both stay in view.
  setWordWrap(false);
  setTextElideMode(Qt::ElideMiddle);
  verticalHeader()->setVisible(false);
  // The File column takes the width the others leave (a wide window shows
  // whole paths); every other column is at least as wide as its heading,
  // so that a small window still shows each heading whole.
  QHeaderView* header = horizontalHeader();
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(40);
  const int widths[ecCount] = {50, 120, 60, 130, 50, 95, 75, 95, 130};
  header->resizeSections(QHeaderView::ResizeToContents);  // no rows yet: the headings' widths
  for (int column = 0; column < ecCount; ++column) setColumnWidth(column, std::max(widths[column], columnWidth(column)));
  header->setSectionResizeMode(ecFile, QHeaderView::Stretch);
  horizontalHeaderItem(ecComputing)->setToolTip("Mean time the engine computed per step");
  horizontalHeaderItem(ecHeldShare)->setToolTip("Share of the run the engine was held at the barrier");
  horizontalHeaderItem(ecPace)->setToolTip("The engine the others waited for most over the last 10 steps");
}

QString TEngineTable::TipOf(const TEngineProgress& engine) {
  if (engine.OutputFile.empty()) return QString();
  QString tip = QString("Output in %1; double-click to open it").arg(QString::fromStdString(engine.OutputFile));
  // A failed engine's last words, so that the reason is a hover away.
  if (!engine.OutputTail.empty()) {
    tip += "\n\nLast lines:";
    for (const std::string& line : engine.OutputTail) tip += "\n" + QString::fromStdString(line);
  }
  return tip;
}

QString TEngineTable::Cell(int row, int column) const {
  const QTableWidgetItem* cell = item(row, column);
  return cell ? cell->text() : QString();
}

void TEngineTable::SetCell(int row, int column, const QString& text) {
  QTableWidgetItem* cell = item(row, column);
  if (!cell) {
    cell = new QTableWidgetItem(text);
    if (column == ecModel || column == ecPid || column == ecStep || column == ecComputing || column == ecHeldShare)
      cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setItem(row, column, cell);
  } else if (cell->text() != text) {
    cell->setText(text);
  }
}

void TEngineTable::ShowRows(const TRunProgress& progress) {
  const int rows = static_cast<int>(progress.Engines.size());
  if (rowCount() != rows) setRowCount(rows);
  FOutputFiles.resize(progress.Engines.size());
  FTips.resize(progress.Engines.size());
  for (int row = 0; row < rows; ++row) {
    const TEngineProgress& engine = progress.Engines[static_cast<size_t>(row)];
    const bool launched = engine.State != TEngineState::NotStarted;
    SetCell(row, ecModel, QString::number(engine.Model));
    SetCell(row, ecFile, QString::fromStdString(engine.Filename));
    SetCell(row, ecPid, engine.Pid ? QString::number(engine.Pid) : QString());
    SetCell(row, ecState, QString::fromStdString(EngineStateText(engine)));
    SetCell(row, ecStep, launched ? QString::number(engine.CompletedStep) : QString());
    const bool timed = engine.CompletedStep > 0 && engine.MeanComputingMs > 0;
    SetCell(row, ecComputing, timed ? QString("%1 ms").arg(engine.MeanComputingMs, 0, 'f', 1) : QString());
    SetCell(row, ecHeldShare, timed ? QString("%1 %").arg(qRound(engine.HeldShare * 100)) : QString());
    SetCell(row, ecPace, engine.HoldsOthers ? QString(PACE_MARK) : QString());
    SetCell(row, ecHeld, QString::fromStdString(engine.HeldReason));
    FOutputFiles[static_cast<size_t>(row)] = engine.OutputFile;
    const QString tip = TipOf(engine);
    if (FTips[static_cast<size_t>(row)] != tip) {
      FTips[static_cast<size_t>(row)] = tip;
      for (int column = 0; column < ecCount; ++column) item(row, column)->setToolTip(tip);
    }
  }
}

std::string TEngineTable::OutputFileOf(int row) const {
  return row >= 0 && static_cast<size_t>(row) < FOutputFiles.size() ? FOutputFiles[static_cast<size_t>(row)] : std::string();
}
