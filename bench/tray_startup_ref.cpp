// The reference of the tray start-up benchmark: the least a Qt Widgets program does to
// put one icon in the notification area, with the same start-up probe as Tirvan.
#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "startup_probe.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QPixmap pixmap(32, 32);
  pixmap.fill(QColor(0x2A, 0x8B, 0xD8));
  QSystemTrayIcon icon{QIcon(pixmap)};
  icon.setToolTip(QStringLiteral("reference"));
  icon.show();
  tray::ArmStartupProbe();
  return QApplication::exec();
}
