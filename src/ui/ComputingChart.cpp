#include "ui/ComputingChart.h"

#include <algorithm>
#include <cmath>

#include <QChart>
#include <QLineSeries>
#include <QValueAxis>

#include "coordination/ISimulator.h"
#include "platform/Clock.h"

namespace {

// The least of 1, 2, 5, 10, 20 ... times a power of ten that is not below v.
double NiceCeiling(double v) {
  double unit = std::pow(10.0, std::floor(std::log10(v)));
  for (const double m : {1.0, 2.0, 5.0, 10.0})
    if (m * unit >= v) return m * unit;
  return 10 * unit;
}

}  // namespace

TComputingChart::TComputingChart(QWidget* parent) : QChartView(parent) {
  auto* chart = new QChart;
  chart->setTitle("Computing time per step");
  chart->legend()->setAlignment(Qt::AlignRight);
  chart->setMargins(QMargins(4, 4, 4, 4));
  FSteps = new QValueAxis;
  FSteps->setTitleText("Time step");
  FSteps->setLabelFormat("%d");
  // Six ticks split 1, 2 or 5 times a power of ten into whole numbers.
  FSteps->setTickCount(6);
  FSteps->setRange(0, 10);
  FMs = new QValueAxis;
  FMs->setTitleText("ms");
  FMs->setLabelFormat("%g");
  FMs->setTickCount(6);
  FMs->setRange(0, 10);
  chart->addAxis(FSteps, Qt::AlignBottom);
  chart->addAxis(FMs, Qt::AlignLeft);
  setChart(chart);
  setRenderHint(QPainter::Antialiasing, false);
  setMinimumHeight(180);
}

void TComputingChart::Restart(const TRunProgress& progress) {
  chart()->removeAllSeries();  // deletes them
  FLines.clear();
  FRead.assign(progress.Engines.size(), 0);
  FPartial.assign(progress.Engines.size(), TPartial{});
  FBin = 1;
  for (const TEngineProgress& engine : progress.Engines) {
    auto* line = new QLineSeries;
    line->setName(QString("#%1").arg(engine.Model));
    chart()->addSeries(line);
    // A thin cosmetic pen (the theme gives 2 pixels) is drawn as plain line
    // segments; a wide one goes through the path stroker, which costs the
    // main thread much more, and the engines wait for that thread.
    QPen pen = line->pen();
    pen.setWidth(1);
    pen.setCosmetic(true);
    line->setPen(pen);
    line->attachAxis(FSteps);
    line->attachAxis(FMs);
    FLines.push_back(line);
  }
  chart()->legend()->setVisible(!FLines.empty() && FLines.size() <= 20);
  FMaxMs = 0;
  FMaxStep = 0;
  FSteps->setRange(0, 10);
  FMs->setRange(0, 10);
  FRun = progress.Run;
  FHaveRun = true;
}

void TComputingChart::Follow(ISimulator& simulator, const TRunProgress& progress, bool force) {
  if (!FHaveRun || progress.Run != FRun || progress.Engines.size() != FLines.size()) {
    Restart(progress);
    force = true;
  }
  const qint64 now = static_cast<qint64>(Platform::MonotonicMs());
  if (!force && FEverRead && now - FLastReadMs < REFRESH_INTERVAL) return;
  FLastReadMs = now;
  FEverRead = true;
  if (!force) ++FRunningReads;
  bool grown = false;
  for (size_t i = 0; i < FLines.size(); ++i) {
    FScratch.clear();
    const size_t total = simulator.ComputingPerStep(static_cast<uint32_t>(i), FRead[i], FScratch);
    if (FScratch.empty()) continue;
    QList<QPointF> points;
    TPartial& partial = FPartial[i];
    for (size_t k = 0; k < FScratch.size(); ++k) {
      if (partial.Count == 0) partial.FirstStep = FRead[i] + k;
      partial.Sum += FScratch[k];
      if (++partial.Count < FBin) continue;
      const double ms = partial.Sum / static_cast<double>(partial.Count);
      points.append(QPointF(static_cast<double>(partial.FirstStep), ms));
      FMaxMs = std::max(FMaxMs, ms);
      partial = TPartial{};
    }
    // One replace costs one redraw; appending a list emits a signal (and a
    // recalculation of the line) per point.
    if (!points.isEmpty()) FLines[i]->replace(FLines[i]->points() + points);
    FRead[i] = total;
    while (FLines[i]->count() > MAX_POINTS) Coarsen();
    FMaxStep = std::max(FMaxStep, total);
    grown = true;
  }
  if (!grown) return;
  // An axis grows only when a line has gone past its end, to a round value
  // (1, 2 or 5 times a power of ten): every change of range redraws every line.
  const double steps = NiceCeiling(std::max<double>(10, static_cast<double>(FMaxStep)));
  if (steps != FSteps->max()) FSteps->setRange(0, steps);
  if (FMaxMs > FMs->max() || FMs->max() > 10 * std::max(FMaxMs, 1.0)) FMs->setRange(0, NiceCeiling(std::max(FMaxMs, 1.0)));
}

void TComputingChart::Coarsen() {
  const size_t oldBin = FBin;
  FBin *= 2;
  for (size_t i = 0; i < FLines.size(); ++i) {
    const QList<QPointF> old = FLines[i]->points();
    QList<QPointF> merged;
    merged.reserve(old.size() / 2 + 1);
    for (qsizetype j = 0; j + 1 < old.size(); j += 2)
      merged.append(QPointF(old[j].x(), (old[j].y() + old[j + 1].y()) / 2));
    if (old.size() % 2 == 1) {
      // A lone last point and the steps after it make the next point.
      TPartial& partial = FPartial[i];
      partial.Sum += old.back().y() * static_cast<double>(oldBin);
      partial.Count += oldBin;
      partial.FirstStep = static_cast<size_t>(old.back().x());
    }
    FLines[i]->replace(merged);
  }
}

QList<QPointF> TComputingChart::Points(int engine) const {
  if (engine < 0 || static_cast<size_t>(engine) >= FLines.size()) return {};
  return FLines[static_cast<size_t>(engine)]->points();
}
