#pragma once
// Small helpers the window's tabs share.
#include <string>

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

}  // namespace Widgets
