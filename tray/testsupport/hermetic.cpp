#include "hermetic.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hosted_network.h"
#include "languages.h"
#include "settings_store.h"
#include "web_config.h"

extern char** environ;

namespace traytest {

namespace {

QString g_root;

constexpr const char* kWiped[] = {"home", "config", "data", "state"};

struct Folder {
  const char* var;
  const char* name;
};
constexpr Folder kFolders[] = {{"HOME", "home"},
                               {"XDG_CONFIG_HOME", "config"},
                               {"XDG_DATA_HOME", "data"},
                               {"XDG_STATE_HOME", "state"},
                               {"XDG_CACHE_HOME", "cache"}};

void PointEnvironment() {
  for (const Folder& f : kFolders) {
    const QString dir = g_root + QLatin1Char('/') + QLatin1String(f.name);
    QDir().mkpath(dir);
    ::setenv(f.var, QFile::encodeName(dir).constData(), 1);
  }
  ::setenv("TIRVAN_WEB_BASE", kNoWebBase, 1);
  ::setenv("TIRVAN_BLOG_BASE", kNoWebBase, 1);
  ::unsetenv("TIRVAN_WEB_CA");
  ::setenv("TIRVAN_FETCH_PROGRAM", TIRVAN_FETCH_TEST_PROGRAM, 1);
  ::unsetenv("TIRVAN_FETCH_MARGIN_MS");
}

void ClearCallersVariables() {
  std::vector<std::string> names;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name.rfind("TIRVAN_", 0) != 0 || name == "TIRVAN_BUILD_DIR" ||
        name.rfind("TIRVAN_TEST_", 0) == 0) {
      continue;
    }
    names.push_back(name);
  }
  for (const std::string& name : names) ::unsetenv(name.c_str());
}

// A label's text of the dialog, for the failure message.
QString Describe(QWidget* w) {
  QString text = QString::fromLatin1(w->metaObject()->className());
  if (!w->windowTitle().isEmpty()) text += QStringLiteral(" \"%1\"").arg(w->windowTitle());
  for (QLabel* label : w->findChildren<QLabel*>()) {
    if (!label->text().isEmpty()) return text + QStringLiteral(": ") + label->text();
  }
  return text;
}

// Watches the application's modal widget on the GUI thread: its timer runs in every
// event loop, the modal's own included.
void InstallModalWatchdog() {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app == nullptr) return;
  auto* timer = new QTimer(app);
  auto* since = new QElapsedTimer;
  auto* watched = new QPointer<QWidget>;
  QObject::connect(timer, &QTimer::timeout, app, [since, watched] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != watched->data()) {
      *watched = modal;
      since->start();
      return;
    }
    if (modal == nullptr || since->elapsed() < ModalLimitMs()) return;
    ADD_FAILURE() << "a modal " << Describe(modal).toStdString() << " stayed open for "
                  << since->elapsed() << " ms: the test must answer it";
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
    *watched = nullptr;
  });
  timer->start(100);
}

// QCoreApplication::exit outside any event loop (the program's Exit command in a test)
// leaves the thread's loops told to quit, and every later exec, a modal dialog's too,
// returns at once. One turn of the application's own loop clears that, and runs what
// the last test left posted.
void ClearStrayExit() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || app->thread() != QThread::currentThread()) return;
  QTimer::singleShot(0, app, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
}

}  // namespace

void UseTemporaryHome() {
  if (!g_root.isEmpty()) return;
  ClearCallersVariables();
  QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/tirvan-tray-test-XXXXXX"));
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "cannot make a temporary home under %s\n", qPrintable(QDir::tempPath()));
    std::abort();
  }
  g_root = QFile::decodeName(pattern);
  std::atexit([] { QDir(g_root).removeRecursively(); });
  PointEnvironment();
  qAddPreRoutine(InstallModalWatchdog);
}

QString TemporaryHome() { return g_root; }

void UseNoWebServer() {
  tray::WebConfig web;
  web.webBase = QString::fromLatin1(kNoWebBase);
  web.blogBase = QString::fromLatin1(kNoWebBase);
  tray::SetWebConfig(web);
}

void ResetSharedState() {
  UseTemporaryHome();
  ClearStrayExit();
  for (const char* name : kWiped) {
    QDir(g_root + QLatin1Char('/') + QLatin1String(name)).removeRecursively();
  }
  PointEnvironment();

  UseNoWebServer();
  tray::SetSettingsStore(nullptr);
  tray::SetHostedNetworkStarted(false);

  tray::SetLanguageFolder(QString());
  tray::SetSystemLocaleOverride("en_US.UTF-8");
  {
    // A store a test left alive goes back to English, its previous language too; with
    // none, the one made here goes again at the end of the scope.
    tray::LanguagesRef languages;
    languages->SetLanguage(tray::kLanguageEnglish);
    languages->SetLanguage(tray::kLanguageEnglish);
  }
}

QString ShotDir() {
  QString dir = qEnvironmentVariable("TIRVAN_TEST_SHOT_DIR");
  if (dir.isEmpty()) dir = QDir::tempPath() + QStringLiteral("/tirvan-tray-shots");
  QDir().mkpath(dir);
  return dir;
}

QString ShotPath(const QString& name) { return ShotDir() + QLatin1Char('/') + name; }

int ModalLimitMs() {
  bool ok = false;
  const int ms = qEnvironmentVariableIntValue("TIRVAN_TEST_MODAL_LIMIT_MS", &ok);
  return ok && ms > 0 ? ms : 10000;
}

}  // namespace traytest
