// Whether the controls of a window show their texts whole: each visible control's text,
// measured with the control's own font as the control draws it, must fit the control's
// rectangle, stay inside every parent (which would cut it) and not overlap another
// control's text.
#pragma once

#include <QRect>
#include <QString>

#include <QFont>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace traytest {

// What a control shows: the text, the font, where in the control it may be drawn and how
// it is aligned there, and whether it wraps.
struct ShownText {
  QString text;
  std::optional<QFont> font;  // none: the control's own font
  QRect area;
  int alignment = 0;
  bool wrap = false;
};

// A control the walk cannot read by its class (a custom-painted link, say): the caller
// tells what it shows; false when it knows nothing of this control.
using TextOf = std::function<bool(const QWidget& control, ShownText& shown)>;

// Every fault found in window, one line each, naming the control by its object name.
std::vector<std::string> ClippedTexts(QWidget& window, const TextOf& extra = {});

// The geometry of every visible control of the window, one line each.
std::vector<std::string> Geometries(QWidget& window);

}  // namespace traytest
