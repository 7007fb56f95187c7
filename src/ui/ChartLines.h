#pragma once
// The lines of a chart that follows a run step by step: each line takes in
// only the steps that are new since its last read, and has at most
// MAX_POINTS points; a long run's steps are drawn in bins (2, 4, 8 ... steps
// a point, the mean of their values), so drawing stays cheap. A point may
// carry a mark (a step of its bin that something happened at); the marked
// points are drawn as one scatter series.
#include <cstdint>
#include <vector>

#include <QColor>
#include <QList>
#include <QPointF>
#include <QString>

class QChart;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

class TChartLines {
 public:
  static constexpr int MAX_POINTS = 1000;

  // The lines go into chart, along axes x and y.
  TChartLines(QChart* chart, QValueAxis* x, QValueAxis* y) : FChart(chart), FX(x), FY(y) {}

  // Removes every line (and the marks); the bin goes back to one step.
  void Clear();
  // A new line; its index. Lines are told apart by colour and, past the
  // palette, by dash pattern, so lines of equal values still show which is
  // which in the legend and the readout.
  size_t Add(const QString& name);
  size_t Count() const { return FLines.size(); }
  QLineSeries* Line(size_t i) const { return FLines[i].Series; }
  QColor Colour(size_t i) const;
  // Appends values for steps firstStep, firstStep + 1, ...; marked[k] (when
  // given) marks step firstStep + k.
  void Append(size_t i, size_t firstStep, const std::vector<double>& values, const std::vector<bool>* marked = nullptr);
  // Hands the new points to the chart, redraws the marks and grows the
  // axes to round values past the lines' ends.
  void Commit();
  // The line's value at step (the point of the bin holding it); false when
  // it has none there.
  bool ValueAt(size_t i, size_t step, double& value) const;
  // Steps a point stands for.
  size_t StepsPerPoint() const { return FBin; }
  QList<QPointF> Points(size_t i) const;
  // The marked points, all lines together.
  QList<QPointF> Marks() const;
  bool HasMarks() const { return FMarks != nullptr; }
  // Draws one line wider than the others (none: -1).
  void Highlight(int line);

 private:
  struct TPartial {
    double Sum = 0;
    size_t Count = 0;
    size_t FirstStep = 0;
    bool Marked = false;
  };
  struct TLine {
    QLineSeries* Series = nullptr;
    QList<QPointF> Points;  // what the series shows, and what is new
    std::vector<bool> PointMarked;
    TPartial Partial;
    bool Changed = false;
  };
  void Coarsen();
  void SetPen(size_t i, bool wide);

  QChart* FChart;
  QValueAxis* FX;
  QValueAxis* FY;
  std::vector<TLine> FLines;
  QScatterSeries* FMarks = nullptr;
  size_t FBin = 1;
  double FMinValue = 0, FMaxValue = 0;
  bool FHaveValue = false;
  size_t FMaxStep = 0;
  bool FMarksChanged = false;
  int FHighlighted = -1;
};

// An axis of a run's chart: titled, six ticks (1, 2 or 5 times a power of
// ten split into whole numbers), 0 to 10 until the lines grow.
QValueAxis* RunChartAxis(const QString& title, const char* labelFormat);

// The least of 1, 2, 5, 10, 20 ... times a power of ten that is not below v.
double NiceCeiling(double v);
