#include "qt_app.h"

#include <QApplication>

#include "hermetic.h"

namespace traytest {

QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "tray_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    // Tests draw offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The home, the XDG folders and the web address of the test program's own (the test
    // main has made them already).
    UseTemporaryHome();
    auto* a = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return a;
  }();
  return *app;
}

}  // namespace traytest

// The test programs keep their QApplication to the end, and with it Qt's font cache, whose
// fontconfig patterns the leak checker would report at exit; they are no leak of ours.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
