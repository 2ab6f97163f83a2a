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
    // Pages the dialogs fetch by themselves (the banners) stay on this machine.
    if (qEnvironmentVariableIsEmpty("TIRVAN_WEB_BASE")) qputenv("TIRVAN_WEB_BASE", "https://127.0.0.1:9");
    if (qEnvironmentVariableIsEmpty("TIRVAN_BLOG_BASE")) qputenv("TIRVAN_BLOG_BASE", "https://127.0.0.1:9");
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
