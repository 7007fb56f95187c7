#pragma once
// Small helpers the window's tabs share.
#include <string>

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QSpinBox>
#include <QString>
#include <QWidget>

namespace Widgets {

inline constexpr int HINT_PAUSE = 30000;  // ms a hint stays on screen

inline QString Q(const std::string& text) { return QString::fromStdString(text); }

// Hints are written with CR LF line breaks; Qt wants LF.
inline QString HintText(const char* text) { return QString::fromUtf8(text).replace("\r\n", "\n"); }

inline void SetHint(QWidget* widget, const char* hint) {
  widget->setToolTip(HintText(hint));
  widget->setToolTipDuration(HINT_PAUSE);
}

// An integer from a spin box's text; lowerBound when it holds none.
inline int SpinValue(const QSpinBox* spin, int lowerBound) {
  bool ok = false;
  const int value = spin->cleanText().trimmed().toInt(&ok);
  return ok ? value : lowerBound;
}

// Whether every printable ASCII character takes the same width in font, as
// the columns of the log need.
inline bool AsciiFixedWidth(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(QLatin1Char('M'));
  for (char c = ' '; c <= '~'; ++c)
    if (metrics.horizontalAdvance(QLatin1Char(c)) != width) return false;
  return width > 0;
}

// preferred when its characters take one width; otherwise the same font in
// the first installed fixed-pitch family whose characters do (fontconfig may
// give "monospace" a family it does not count as fixed pitch, or a
// proportional one), or preferred when there is none.
inline QFont FixedWidthFont(const QFont& preferred) {
  if (AsciiFixedWidth(preferred)) return preferred;
  QFont font = preferred;
  for (const QString& family : QFontDatabase::families()) {
    if (!QFontDatabase::isFixedPitch(family)) continue;
    font.setFamilies({family});
    if (AsciiFixedWidth(font)) return font;
  }
  return preferred;
}

// The system's fixed-width font, as FixedWidthFont makes sure of.
inline QFont FixedWidthFont() { return FixedWidthFont(QFontDatabase::systemFont(QFontDatabase::FixedFont)); }

}  // namespace Widgets
