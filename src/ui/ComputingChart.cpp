#include "ui/ComputingChart.h"

#include <algorithm>

#include <QChart>
#include <QLineSeries>
#include <QValueAxis>

#include "coordination/ISimulator.h"
#include "platform/Clock.h"

TComputingChart::TComputingChart(QWidget* parent) : QChartView(parent) {
  auto* chart = new QChart;
  chart->setTitle("Computing time per step");
  chart->legend()->setAlignment(Qt::AlignRight);
  chart->setMargins(QMargins(4, 4, 4, 4));
  FSteps = new QValueAxis;
  FSteps->setTitleText("Time step");
  FSteps->setLabelFormat("%d");
  FSteps->setRange(0, 10);
  FMs = new QValueAxis;
  FMs->setTitleText("ms");
  FMs->setLabelFormat("%g");
  FMs->setRange(0, 10);
  chart->addAxis(FSteps, Qt::AlignBottom);
  chart->addAxis(FMs, Qt::AlignLeft);
  setChart(chart);
  setRenderHint(QPainter::Antialiasing);
  setMinimumHeight(180);
}

void TComputingChart::Restart(const TRunProgress& progress) {
  chart()->removeAllSeries();  // deletes them
  FLines.clear();
  FRead.assign(progress.Engines.size(), 0);
  for (const TEngineProgress& engine : progress.Engines) {
    auto* line = new QLineSeries;
    line->setName(QString("#%1").arg(engine.Model));
    chart()->addSeries(line);
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
    points.reserve(static_cast<qsizetype>(FScratch.size()));
    for (size_t k = 0; k < FScratch.size(); ++k) {
      const double ms = FScratch[k];
      points.append(QPointF(static_cast<double>(FRead[i] + k), ms));
      FMaxMs = std::max(FMaxMs, ms);
    }
    FLines[i]->append(points);
    FRead[i] = total;
    FMaxStep = std::max(FMaxStep, total);
    grown = true;
  }
  if (!grown) return;
  FSteps->setRange(0, std::max<double>(10, static_cast<double>(FMaxStep)));
  FMs->setRange(0, std::max(1.0, FMaxMs * 1.1));
  // Round ticks: 0, 20, 40 ms rather than 0, 18.5, 37.
  FSteps->applyNiceNumbers();
  FMs->applyNiceNumbers();
}

QList<QPointF> TComputingChart::Points(int engine) const {
  if (engine < 0 || static_cast<size_t>(engine) >= FLines.size()) return {};
  return FLines[static_cast<size_t>(engine)]->points();
}
