// Runs the Qt event loop until done() holds or ms have passed; false on the time-out.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

namespace traytest {

inline bool Spin(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

}  // namespace traytest
