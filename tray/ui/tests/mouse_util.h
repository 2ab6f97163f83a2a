// Moves the mouse in tests the way the window system does, so enter and leave events
// follow it whatever earlier tests did with the cursor.
#pragma once

#include <QTest>
#include <QWidget>
#include <QWindow>

namespace skintest {

inline void MoveMouse(QWidget* widget, QPoint pos) {
  QWidget* top = widget->window();
  QTest::mouseMove(top->windowHandle(), widget->mapTo(top, pos));
  QApplication::processEvents();
}

}  // namespace skintest
