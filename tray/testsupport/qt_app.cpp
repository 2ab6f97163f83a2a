#include "qt_app.h"

#include <QApplication>
#include <QTemporaryDir>

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
    // The settings store, the autostart entry and the bookmarks go to a folder of the test
    // program's own, never to the user's: a stray settings file would also bring up the
    // first-run wizard in every later test.
    static QTemporaryDir xdg(QDir::tempPath() + QStringLiteral("/tirvan-tray-test-XXXXXX"));
    if (xdg.isValid()) {
      for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        if (!qEnvironmentVariableIsEmpty(var)) continue;
        const QString dir = xdg.path() + QLatin1Char('/') + QLatin1String(var);
        QDir().mkpath(dir);
        qputenv(var, dir.toLocal8Bit());
      }
    }
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
