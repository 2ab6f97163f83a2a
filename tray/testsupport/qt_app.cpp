#include "qt_app.h"

#include <QApplication>

namespace traytest {

QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "tray_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    // Tests draw offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* a = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return a;
  }();
  return *app;
}

}  // namespace traytest

// Under LeakSanitizer: fontconfig keeps a cache it never frees, which is not ours to fix.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
