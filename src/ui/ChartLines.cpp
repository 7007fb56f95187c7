#include "ui/ChartLines.h"

#include <algorithm>
#include <cmath>

#include <QChart>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>

namespace {

// Ten colours that stay apart on white, then the same with other dashes.
const QColor PALETTE[] = {QColor(31, 119, 180), QColor(255, 127, 14), QColor(44, 160, 44),  QColor(214, 39, 40),
                          QColor(148, 103, 189), QColor(140, 86, 75), QColor(227, 119, 194), QColor(127, 127, 127),
                          QColor(188, 189, 34), QColor(23, 190, 207)};
constexpr size_t COLOURS = sizeof PALETTE / sizeof PALETTE[0];
const Qt::PenStyle DASHES[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine, Qt::DashDotDotLine};
constexpr size_t STYLES = sizeof DASHES / sizeof DASHES[0];

}  // namespace

QValueAxis* RunChartAxis(const QString& title, const char* labelFormat) {
  auto* axis = new QValueAxis;
  axis->setTitleText(title);
  axis->setLabelFormat(labelFormat);
  axis->setTickCount(6);
  axis->setRange(0, 10);
  return axis;
}

double NiceCeiling(double v) {
  if (v <= 0) return 1;
  double unit = std::pow(10.0, std::floor(std::log10(v)));
  for (const double m : {1.0, 2.0, 5.0, 10.0})
    if (m * unit >= v) return m * unit;
  return 10 * unit;
}

void TChartLines::Clear() {
  for (TLine& l : FLines) {
    FChart->removeSeries(l.Series);
    delete l.Series;
  }
  FLines.clear();
  if (FMarks) {
    FChart->removeSeries(FMarks);
    delete FMarks;
    FMarks = nullptr;
  }
  FBin = 1;
  FHaveValue = false;
  FMinValue = FMaxValue = 0;
  FMaxStep = 0;
  FHighlighted = -1;
}

QColor TChartLines::Colour(size_t i) const { return PALETTE[i % COLOURS]; }

void TChartLines::SetPen(size_t i, bool wide) {
  // A thin cosmetic pen is drawn as plain line segments; a wide one goes
  // through the path stroker, which costs the main thread much more, and
  // the engines wait for that thread. Only a highlighted line is wide.
  QPen pen(Colour(i));
  pen.setWidth(wide ? 3 : 1);
  pen.setCosmetic(true);
  pen.setStyle(DASHES[(i / COLOURS) % STYLES]);
  FLines[i].Series->setPen(pen);
}

size_t TChartLines::Add(const QString& name) {
  TLine line;
  line.Series = new QLineSeries;
  line.Series->setName(name);
  FChart->addSeries(line.Series);
  line.Series->attachAxis(FX);
  line.Series->attachAxis(FY);
  FLines.push_back(std::move(line));
  SetPen(FLines.size() - 1, false);
  return FLines.size() - 1;
}

void TChartLines::Append(size_t i, size_t firstStep, const std::vector<double>& values, const std::vector<bool>* marked) {
  TLine& l = FLines[i];
  for (size_t k = 0; k < values.size(); ++k) {
    TPartial& p = l.Partial;
    if (p.Count == 0) p.FirstStep = firstStep + k;
    p.Sum += values[k];
    p.Marked = p.Marked || (marked && k < marked->size() && (*marked)[k]);
    if (++p.Count < FBin) continue;
    const double v = p.Sum / static_cast<double>(p.Count);
    l.Points.append(QPointF(static_cast<double>(p.FirstStep), v));
    l.PointMarked.push_back(p.Marked);
    FMarksChanged = FMarksChanged || p.Marked;
    FMinValue = FHaveValue ? std::min(FMinValue, v) : v;
    FMaxValue = FHaveValue ? std::max(FMaxValue, v) : v;
    FHaveValue = true;
    p = TPartial{};
    l.Changed = true;
  }
  FMaxStep = std::max(FMaxStep, firstStep + values.size());
  while (l.Points.size() > MAX_POINTS) Coarsen();
}

void TChartLines::Coarsen() {
  const size_t oldBin = FBin;
  FBin *= 2;
  for (TLine& l : FLines) {
    QList<QPointF> merged;
    std::vector<bool> marks;
    merged.reserve(l.Points.size() / 2 + 1);
    for (qsizetype j = 0; j + 1 < l.Points.size(); j += 2) {
      merged.append(QPointF(l.Points[j].x(), (l.Points[j].y() + l.Points[j + 1].y()) / 2));
      marks.push_back(l.PointMarked[static_cast<size_t>(j)] || l.PointMarked[static_cast<size_t>(j) + 1]);
    }
    if (l.Points.size() % 2 == 1) {
      // A lone last point and the steps after it make the next point.
      l.Partial.Sum += l.Points.back().y() * static_cast<double>(oldBin);
      l.Partial.Count += oldBin;
      l.Partial.FirstStep = static_cast<size_t>(l.Points.back().x());
      l.Partial.Marked = l.Partial.Marked || l.PointMarked.back();
    }
    l.Points = std::move(merged);
    l.PointMarked = std::move(marks);
    l.Changed = true;
  }
  FMarksChanged = true;
}

void TChartLines::Commit() {
  bool grown = false;
  for (TLine& l : FLines) {
    if (!l.Changed) continue;
    // One replace costs one redraw; appending a list emits a signal (and a
    // recalculation of the line) per point.
    l.Series->replace(l.Points);
    l.Changed = false;
    grown = true;
  }
  if (FMarksChanged) {
    if (!FMarks) {
      FMarks = new QScatterSeries;
      FMarks->setName("set by the processor");
      // Small and half transparent: a processor that sets every step must
      // not hide the lines.
      FMarks->setMarkerSize(5);
      FMarks->setColor(QColor(0, 0, 0, 110));
      FMarks->setBorderColor(Qt::transparent);
      FChart->addSeries(FMarks);
      FMarks->attachAxis(FX);
      FMarks->attachAxis(FY);
    }
    FMarks->replace(Marks());
    FMarksChanged = false;
  }
  if (!grown) return;
  // An axis grows only when a line has gone past its end, to a round value:
  // every change of range redraws every line.
  const double steps = NiceCeiling(std::max<double>(10, static_cast<double>(FMaxStep)));
  if (steps != FX->max()) FX->setRange(0, steps);
  const double low = FMinValue < 0 ? -NiceCeiling(-FMinValue) : 0;
  const double high = NiceCeiling(std::max(FMaxValue, 1.0));
  if (FMaxValue > FY->max() || FY->max() > 10 * std::max(FMaxValue, 1.0) || low < FY->min()) FY->setRange(low, high);
}

bool TChartLines::ValueAt(size_t i, size_t step, double& value) const {
  if (i >= FLines.size()) return false;
  const QList<QPointF>& points = FLines[i].Points;
  // The point whose bin holds step: the last one starting at or before it.
  const auto after = std::upper_bound(points.begin(), points.end(), static_cast<double>(step),
                                      [](double s, const QPointF& p) { return s < p.x(); });
  if (after == points.begin()) return false;
  const QPointF& p = *(after - 1);
  if (static_cast<double>(step) >= p.x() + static_cast<double>(FBin)) return false;
  value = p.y();
  return true;
}

QList<QPointF> TChartLines::Points(size_t i) const { return i < FLines.size() ? FLines[i].Points : QList<QPointF>{}; }

QList<QPointF> TChartLines::Marks() const {
  QList<QPointF> marks;
  for (const TLine& l : FLines)
    for (qsizetype j = 0; j < l.Points.size(); ++j)
      if (l.PointMarked[static_cast<size_t>(j)]) marks.append(l.Points[j]);
  return marks;
}

void TChartLines::Highlight(int line) {
  if (FHighlighted >= 0 && static_cast<size_t>(FHighlighted) < FLines.size())
    SetPen(static_cast<size_t>(FHighlighted), false);
  FHighlighted = line;
  if (line >= 0 && static_cast<size_t>(line) < FLines.size()) SetPen(static_cast<size_t>(line), true);
}
