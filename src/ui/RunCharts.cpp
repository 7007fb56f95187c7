#include "ui/RunCharts.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QMouseEvent>
#include <QPixmap>
#include <QStackedWidget>
#include <QToolTip>
#include <QVBoxLayout>

#include "coordination/ISimulator.h"
#include "ui/ChartLines.h"
#include "ui/ComputingChart.h"

namespace {

// Lines listed in the readout at most; the rest are counted.
constexpr int READOUT_LINES = 24;

QString Entry(const std::string& root, bool totals) {
  return QString::fromStdString(root) + (totals ? ", each engine's total" : ", by index");
}

}  // namespace

TRunCharts::TRunCharts(QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  auto* top = new QHBoxLayout;
  auto* label = new QLabel("Chart:", this);
  FPicker = new QComboBox(this);
  FPicker->setObjectName("ChartPicker");
  FPicker->addItem(COMPUTING);
  FPicker->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  top->addWidget(label);
  top->addWidget(FPicker);
  top->addStretch(1);
  column->addLayout(top);
  auto* row = new QHBoxLayout;
  FStack = new QStackedWidget(this);
  FComputing = new TComputingChart(FStack);
  FComputing->setObjectName("ComputingChart");
  FPopulation = new TPopulationChart(FStack);
  FPopulation->setObjectName("PopulationChart");
  FStack->addWidget(FComputing);
  FStack->addWidget(FPopulation);
  FLegend = new QListWidget(this);
  FLegend->setObjectName("ChartLegend");
  FLegend->setMaximumWidth(220);
  FLegend->setMinimumWidth(140);
  row->addWidget(FStack, 1);
  row->addWidget(FLegend);
  column->addLayout(row, 1);
  for (QWidget* view : {static_cast<QWidget*>(FComputing), static_cast<QWidget*>(FPopulation)}) {
    view->setMouseTracking(true);
    view->installEventFilter(this);
  }
  connect(FPicker, &QComboBox::currentIndexChanged, this, [this] {
    if (FFilling) return;
    FUserPicked = true;
    Picked();
  });
  connect(FLegend, &QListWidget::currentRowChanged, this, [this](int row) { ShownLines().Highlight(row); });
}

std::string TRunCharts::Shown() const { return FPicker->currentText().toStdString(); }

TChartLines& TRunCharts::ShownLines() const {
  return FStack->currentWidget() == FComputing ? FComputing->Lines() : FPopulation->Lines();
}

void TRunCharts::UpdatePicker(ISimulator& simulator) {
  std::vector<std::string> roots = simulator.StateRoots();
  if (roots == FRoots) return;
  FRoots = std::move(roots);
  const QString current = FPicker->currentText();
  FFilling = true;
  FPicker->clear();
  FPicker->addItem(COMPUTING);
  for (const std::string& root : FRoots)
    if (root == TPopulationChart::ABUNDANCE) FPicker->addItem(ABUNDANCE);
  for (const std::string& root : FRoots) {
    FPicker->addItem(Entry(root, false));
    FPicker->addItem(Entry(root, true));
  }
  int keep = FPicker->findText(current);
  // After the first step, abundances come first unless the user chose.
  if (!FUserPicked && FPicker->findText(ABUNDANCE) >= 0) keep = FPicker->findText(ABUNDANCE);
  FPicker->setCurrentIndex(keep >= 0 ? keep : 0);
  FFilling = false;
}

bool TRunCharts::Pick(const std::string& entry) {
  const int i = FPicker->findText(QString::fromStdString(entry));
  if (i < 0) return false;
  FPicker->setCurrentIndex(i);
  FUserPicked = true;
  Picked();
  return true;
}

void TRunCharts::Picked() {
  if (FSimulator) Follow(*FSimulator, FProgress, true);
}

void TRunCharts::Follow(ISimulator& simulator, const TRunProgress& progress, bool force) {
  FSimulator = &simulator;
  FProgress = progress;
  UpdatePicker(simulator);
  const QString shown = FPicker->currentText();
  if (shown == COMPUTING) {
    FStack->setCurrentWidget(FComputing);
    FComputing->Follow(simulator, progress, force);
  } else {
    TChartChoice choice;
    if (shown != ABUNDANCE) {
      for (const std::string& root : FRoots)
        for (const bool totals : {false, true})
          if (shown == Entry(root, totals)) choice = {root, totals};
    }
    FStack->setCurrentWidget(FPopulation);
    FPopulation->Follow(simulator, progress, choice, force);
  }
  UpdateLegend();
}

void TRunCharts::UpdateLegend() {
  const TChartLines& lines = ShownLines();
  if (&lines == FLegendOf && lines.Count() == FLegendLines && lines.HasMarks() == FLegendMarks) return;
  FLegendOf = &lines;
  FLegendLines = lines.Count();
  FLegendMarks = lines.HasMarks();
  FLegend->clear();
  for (size_t i = 0; i < lines.Count(); ++i) {
    QPixmap swatch(12, 12);
    swatch.fill(lines.Colour(i));
    FLegend->addItem(new QListWidgetItem(QIcon(swatch), lines.Line(i)->name()));
  }
  // The marks' entry comes last, so that a row still names its line.
  if (FLegendMarks) FLegend->addItem("\u25CF set by the processor");
}

std::string TRunCharts::Readout(size_t step) {
  TChartLines& lines = ShownLines();
  QString text = QString("step %1").arg(step);
  int listed = 0, more = 0;
  for (size_t i = 0; i < lines.Count(); ++i) {
    double v = 0;
    if (!lines.ValueAt(i, step, v)) continue;
    if (listed++ >= READOUT_LINES) {
      ++more;
      continue;
    }
    text += QString("\n%1: %2").arg(lines.Line(i)->name()).arg(v, 0, 'g', 6);
  }
  if (more) text += QString("\n... and %1 more").arg(more);
  return text.toStdString();
}

bool TRunCharts::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseMove && watched == FStack->currentWidget()) {
    auto* view = static_cast<QChartView*>(watched);
    TChartLines& lines = ShownLines();
    if (lines.Count() > 0) {
      const QPointF scene = view->mapToScene(static_cast<QMouseEvent*>(event)->pos());
      const QPointF at = view->chart()->mapToValue(view->chart()->mapFromScene(scene), lines.Line(0));
      if (at.x() >= 0) {
        const QPoint global = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
        QToolTip::showText(global, QString::fromStdString(Readout(static_cast<size_t>(at.x() + 0.5))), view);
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}
