// The tray program Tirvan.
#include <QApplication>

#include "languages.h"
#include "pictures.h"
#include "startup_probe.h"
#include "tray_icon.h"
#include "tray_log.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tirvan"));
  QApplication::setQuitOnLastWindowClosed(false);
  tray::InstallTrayLog(tray::DefaultTrayLogPath());
  tray::InitPictures();
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon/128.png")));

  tray::LanguagesRef languages;
  tray::QtTrayBackend backend;
  tray::CTrayIcon icon(backend);
  QString tip = languages->GetString("UI", "DIALOG_TITLE");
  icon.SetIcon(QIcon(QStringLiteral(":/icon/174.png")), &tip);
  tray::ArmStartupProbe();
  return QApplication::exec();
}
