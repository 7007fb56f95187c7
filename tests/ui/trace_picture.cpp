// Not a test: draws a run's trace (velmar-manager --trace FILE) as a
// timeline picture, one row per track, laid out as Perfetto's and
// chrome://tracing's timeline shows it: the track's name on the left, its
// spans as bars along the time axis, the manager's instants as marks.
//   ui_trace_picture TRACE OUT.png [FROM_MS TO_MS]
// FROM_MS and TO_MS pick a stretch of the run (default: all of it).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include "coordination/TraceReader.h"

namespace {

QColor ColorOf(const std::string& name) {
  if (name == "computing") return QColor(66, 133, 244);
  if (name == "held") return QColor(244, 160, 60);
  if (name == "processor") return QColor(52, 168, 83);
  return QColor(150, 150, 150);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::cerr << "usage: ui_trace_picture TRACE OUT.png [FROM_MS TO_MS]\n";
    return 2;
  }
  QApplication application(argc, argv);
  const auto trace = ReadTraceFile(argv[1]);
  if (!trace) {
    std::cerr << "ui_trace_picture: " << argv[1] << " is no trace\n";
    return 1;
  }
  int64_t end = 0;
  for (const TTraceEvent& e : trace->Events) end = std::max(end, e.Ts + e.Dur);
  int64_t from = 0, to = std::max<int64_t>(end, 1);
  if (argc == 5) {
    from = static_cast<int64_t>(std::atof(argv[3]) * 1000);
    to = static_cast<int64_t>(std::atof(argv[4]) * 1000);
    if (to <= from) to = from + 1;
  }

  const int width = 1400, nameWidth = 230, rowHeight = 34, top = 56, axis = 30;
  const int rows = static_cast<int>(trace->TrackNames.size());
  QImage image(width, top + rows * rowHeight + axis + 40, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QFont font = p.font();
  font.setPixelSize(13);
  p.setFont(font);
  const double scale = static_cast<double>(width - nameWidth - 80) / static_cast<double>(to - from);
  auto x = [&](int64_t us) { return nameWidth + static_cast<double>(us - from) * scale; };

  // Title and legend.
  p.setPen(Qt::black);
  p.drawText(10, 22, QString("%1   (%2 – %3 ms)").arg(QString::fromLocal8Bit(argv[1]).section('/', -1))
                         .arg(from / 1000.0, 0, 'f', 0).arg(to / 1000.0, 0, 'f', 0));
  int lx = nameWidth;
  for (const char* name : {"computing", "held", "processor"}) {
    p.fillRect(lx, 34, 14, 12, ColorOf(name));
    p.drawText(lx + 18, 45, name);
    lx += 110;
  }

  // Rows.
  std::map<int64_t, int> rowOf;
  int row = 0;
  for (const auto& [track, name] : trace->TrackNames) {
    const int y = top + row * rowHeight;
    p.fillRect(0, y, width, rowHeight, row % 2 ? QColor(246, 246, 246) : QColor(255, 255, 255));
    p.setPen(Qt::black);
    p.drawText(QRect(8, y, nameWidth - 12, rowHeight), Qt::AlignVCenter | Qt::AlignLeft,
               QString::fromStdString(name));
    rowOf[track] = row++;
  }
  p.setClipRect(nameWidth, top, width - nameWidth, rows * rowHeight);
  double labelsEnd = 0;  // instants too close to the one before keep their mark only
  for (const TTraceEvent& e : trace->Events) {
    const auto it = rowOf.find(e.Track);
    if (it == rowOf.end() || e.Ts + e.Dur < from || e.Ts > to) continue;
    const int y = top + it->second * rowHeight;
    if (e.Phase == "X") {
      // The processor's spans sit inside the engine's row, below the others.
      const bool processor = e.Name == "processor";
      const QRectF bar(x(e.Ts), y + (processor ? 22 : 5), std::max(1.0, static_cast<double>(e.Dur) * scale),
                       processor ? 8 : 16);
      p.fillRect(bar, ColorOf(e.Name));
      if (bar.width() > 60 && !processor) {
        p.setPen(Qt::white);
        p.drawText(bar, Qt::AlignCenter, QString("%1 %2").arg(QString::fromStdString(e.Name)).arg(e.Step.value_or(0)));
      }
    } else {
      const double mx = x(e.Ts);
      p.setPen(QPen(QColor(200, 40, 40), 2));
      p.drawLine(QPointF(mx, y + 4), QPointF(mx, y + rowHeight - 4));
      const QString label = QString::fromStdString(e.Name);
      if (mx + 4 >= labelsEnd) {
        p.setPen(Qt::black);
        p.drawText(QPointF(mx + 4, y + 21), label);
        labelsEnd = mx + 8 + p.fontMetrics().horizontalAdvance(label);
      }
    }
  }
  p.setClipping(false);

  // Time axis in ms.
  const int ay = top + rows * rowHeight + 6;
  p.setPen(Qt::black);
  p.drawLine(nameWidth, ay, width - 20, ay);
  const double spanMs = static_cast<double>(to - from) / 1000.0;
  double tick = 1;
  for (const double step : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0})
    if (spanMs / step <= 12) {
      tick = step;
      break;
    }
  for (double t = std::ceil(static_cast<double>(from) / 1000.0 / tick) * tick; t * 1000 <= static_cast<double>(to);
       t += tick) {
    const double tx = x(static_cast<int64_t>(t * 1000));
    p.drawLine(QPointF(tx, ay), QPointF(tx, ay + 5));
    p.drawText(QPointF(tx - 15, ay + 20), QString("%1 ms").arg(t, 0, 'f', 0));
  }
  p.end();
  if (!image.save(QString::fromLocal8Bit(argv[2]))) {
    std::cerr << "ui_trace_picture: cannot write " << argv[2] << "\n";
    return 1;
  }
  std::cout << argv[2] << '\n';
  return 0;
}
