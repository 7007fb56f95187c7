#include "ui/ComputingChart.h"

#include <QChart>
#include <QLegend>
#include <QValueAxis>

#include "coordination/ISimulator.h"
#include "platform/Clock.h"

TComputingChart::TComputingChart(QWidget* parent) : QChartView(parent) {
  auto* chart = new QChart;
  chart->setTitle("Computing time per step");
  chart->legend()->setAlignment(Qt::AlignRight);
  chart->setMargins(QMargins(4, 4, 4, 4));
  FSteps = RunChartAxis("Time step", "%d");
  FMs = RunChartAxis("ms", "%g");
  chart->addAxis(FSteps, Qt::AlignBottom);
  chart->addAxis(FMs, Qt::AlignLeft);
  setChart(chart);
  setRenderHint(QPainter::Antialiasing, false);
  setMinimumHeight(120);
  FLines = std::make_unique<TChartLines>(chart, FSteps, FMs);
}

void TComputingChart::Restart(const TRunProgress& progress) {
  FLines->Clear();
  FRead.assign(progress.Engines.size(), 0);
  for (const TEngineProgress& engine : progress.Engines) FLines->Add(QString("#%1").arg(engine.Model));
  chart()->legend()->setVisible(FLines->Count() > 0 && FLines->Count() <= 20);
  FSteps->setRange(0, 10);
  FMs->setRange(0, 10);
  FRun = progress.Run;
  FHaveRun = true;
}

void TComputingChart::Follow(ISimulator& simulator, const TRunProgress& progress, bool force) {
  if (!FHaveRun || progress.Run != FRun || progress.Engines.size() != FLines->Count()) {
    Restart(progress);
    force = true;
  }
  const qint64 now = static_cast<qint64>(Platform::MonotonicMs());
  if (!force && FEverRead && now - FLastReadMs < REFRESH_INTERVAL) return;
  FLastReadMs = now;
  FEverRead = true;
  if (!force) ++FRunningReads;
  for (size_t i = 0; i < FLines->Count(); ++i) {
    FScratch.clear();
    const size_t total = simulator.ComputingPerStep(static_cast<uint32_t>(i), FRead[i], FScratch);
    if (FScratch.empty()) continue;
    FValues.assign(FScratch.begin(), FScratch.end());
    FLines->Append(i, FRead[i], FValues);
    FRead[i] = total;
  }
  FLines->Commit();
}

QList<QPointF> TComputingChart::Points(int engine) const {
  if (engine < 0) return {};
  return FLines->Points(static_cast<size_t>(engine));
}
