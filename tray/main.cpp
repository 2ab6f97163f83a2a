// The tray program Tirvan: one copy per user, its settings dialog as the hidden main window
// for the life of the program, the service started and watched, an exit that stops it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "desktop_notify.h"
#include "languages.h"
#include "pictures.h"
#include "setting_dlg.h"
#include "show_socket.h"
#include "single_instance.h"
#include "startup_probe.h"
#include "tray_log.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  char c = 1;
  ssize_t ignored = ::write(g_signalPipe[1], &c, 1);
  (void)ignored;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tirvan"));
  QApplication::setDesktopFileName(QStringLiteral("tirvan"));
  QApplication::setQuitOnLastWindowClosed(false);
  tray::InstallTrayLog(tray::DefaultTrayLogPath());
  tray::InitPictures();
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon/128.png")));

  tray::SingleInstance instance;
  switch (instance.outcome()) {
    case tray::SingleInstance::Outcome::kAnotherRuns: {
      if (!QSystemTrayIcon::isSystemTrayAvailable() && tray::AskToShow(tray::ShowSocketPath())) return 0;
      tray::DbusNotifier notifier;
      tray::NotifyAlreadyRunning(notifier);
      return 0;
    }
    case tray::SingleInstance::Outcome::kNoLock:
      qWarning("no single-instance lock (%s); running without it", qUtf8Printable(instance.error()));
      break;
    case tray::SingleInstance::Outcome::kFirst:
      break;
  }

  tray::SettingDlgOptions options;
  if (qEnvironmentVariableIsSet("TIRVAN_WATCHDOG_MS")) {
    options.watchdogMs = std::max(100, qEnvironmentVariableIntValue("TIRVAN_WATCHDOG_MS"));
  }
  tray::CSettingDlg dialog(options);

  // Where there is no tray, a second copy brings this one's window forward.
  tray::ShowListener showListener;
  if (!dialog.TrayAvailable() && showListener.Listen(tray::ShowSocketPath())) {
    QObject::connect(&showListener, &tray::ShowListener::showRequested, &dialog, [&] { dialog.ShowSettings(); });
  }

  // SIGTERM and SIGINT run the exit sequence, as the menu's exit does.
  if (::pipe2(g_signalPipe, O_CLOEXEC) == 0) {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &dialog);
    QObject::connect(notifier, &QSocketNotifier::activated, &dialog, [&] {
      char c;
      ssize_t ignored = ::read(g_signalPipe[0], &c, 1);
      (void)ignored;
      dialog.OnExit();
    });
  }
  tray::ArmStartupProbe();
  return QApplication::exec();
}
