#include "ui/PopulationChart.h"

#include <algorithm>

#include <QChart>
#include <QLegend>
#include <QValueAxis>

#include "coordination/ISimulator.h"
#include "platform/Clock.h"
#include "platform/Files.h"

TPopulationChart::TPopulationChart(QWidget* parent) : QChartView(parent) {
  auto* chart = new QChart;
  chart->setMargins(QMargins(4, 4, 4, 4));
  // The window's own list beside the chart is the legend: it scrolls, so
  // it never vanishes however many lines there are.
  chart->legend()->setVisible(false);
  FSteps = RunChartAxis("Time step", "%d");
  FValues = RunChartAxis("", "%g");
  chart->addAxis(FSteps, Qt::AlignBottom);
  chart->addAxis(FValues, Qt::AlignLeft);
  setChart(chart);
  setRenderHint(QPainter::Antialiasing, false);
  setMinimumHeight(120);
  FLines = std::make_unique<TChartLines>(chart, FSteps, FValues);
}

QString TPopulationChart::LineName(uint32_t engine, size_t index) const {
  const QString model = engine < FModels.size() ? QString::fromStdString(FModels[engine]) : QString("#%1").arg(engine);
  if (FChoice.Totals) return model;
  if (FChoice.Root == ABUNDANCE) return QString("%1, population %2").arg(model).arg(index);
  return QString("%1 [%2]").arg(model).arg(index);
}

void TPopulationChart::Restart(const TRunProgress& progress, const TChartChoice& choice) {
  FLines->Clear();
  FLineOf.clear();
  FChoice = choice;
  FModels.clear();
  for (const TEngineProgress& e : progress.Engines) FModels.push_back(Platform::ExtractFileName(e.Filename));
  FRead.assign(progress.Engines.size(), 0);
  const QString what = choice.Root == ABUNDANCE ? QString("Abundance") : QString::fromStdString(choice.Root);
  chart()->setTitle(choice.Totals ? what + ", each engine's total" : what);
  FValues->setTitleText(what);
  FSteps->setRange(0, 10);
  FValues->setRange(0, 10);
  FRun = progress.Run;
  FHaveRun = true;
  FSeenGeneration = ~uint64_t{0};
}

int TPopulationChart::LineOf(uint32_t engine, size_t index) const {
  const auto it = FLineOf.find({engine, FChoice.Totals ? 0 : index});
  return it == FLineOf.end() ? -1 : static_cast<int>(it->second);
}

void TPopulationChart::Follow(ISimulator& simulator, const TRunProgress& progress, const TChartChoice& choice,
                              bool force) {
  if (!FHaveRun || progress.Run != FRun || progress.Engines.size() != FRead.size() || !(choice == FChoice)) {
    Restart(progress, choice);
    force = true;
  }
  const qint64 now = static_cast<qint64>(Platform::MonotonicMs());
  if (!force && FEverRead && now - FLastReadMs < REFRESH_INTERVAL) return;
  const uint64_t generation = simulator.StateGeneration();
  if (generation == FSeenGeneration) return;
  FSeenGeneration = generation;
  FLastReadMs = now;
  FEverRead = true;
  const bool marks = FChoice.Root == ABUNDANCE;
  for (uint32_t e = 0; e < FRead.size(); ++e) {
    FScratch.clear();
    const size_t from = FRead[e];
    const size_t total = simulator.StateSeries(e, FChoice.Root, from, FScratch);
    if (FScratch.empty()) continue;
    std::vector<bool> marked;
    if (marks) {
      marked.assign(FScratch.size(), false);
      for (const uint32_t step : simulator.AbundanceSetAt(e, from))
        if (step >= from && step - from < marked.size()) marked[step - from] = true;
    }
    // One line per index that appears (or the engine's total); an index
    // missing at a step counts 0 there.
    size_t indices = 1;
    if (!FChoice.Totals)
      for (const auto& step : FScratch) indices = std::max(indices, step.size());
    for (size_t index = 0; index < indices; ++index) {
      std::vector<double> values;
      values.reserve(FScratch.size());
      for (const auto& step : FScratch) {
        double v = 0;
        if (FChoice.Totals)
          for (const float x : step) v += x;
        else if (index < step.size())
          v = step[index];
        values.push_back(v);
      }
      auto [it, added] = FLineOf.try_emplace({e, index}, 0);
      if (added) it->second = FLines->Add(LineName(e, index));
      FLines->Append(it->second, from, values, marks ? &marked : nullptr);
    }
    FRead[e] = total;
  }
  FLines->Commit();
}
