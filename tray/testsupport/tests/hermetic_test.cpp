// The tray tests' main: every test starts from the same state in folders of its own, and
// a modal dialog that nobody answers fails the test instead of hanging it.
#include "hermetic.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include "hosted_network.h"
#include "languages.h"
#include "qt_app.h"
#include "settings_store.h"
#include "web_config.h"

namespace {

const char* const kFolderVars[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME",
                                   "XDG_CACHE_HOME"};

bool Below(const QString& path, const QString& root) {
  return !root.isEmpty() && path.startsWith(root + QLatin1Char('/'));
}

void ExpectFreshState() {
  const QString root = traytest::TemporaryHome();
  for (const char* var : kFolderVars) {
    EXPECT_TRUE(Below(qEnvironmentVariable(var), root)) << var << "=" << qPrintable(qEnvironmentVariable(var));
  }
  EXPECT_TRUE(Below(tray::DefaultSettingsPath(), root)) << qPrintable(tray::DefaultSettingsPath());
  EXPECT_FALSE(tray::SettingsStore().KeyExists());
  EXPECT_EQ(tray::CurrentWebConfig().webBase, QLatin1String(traytest::kNoWebBase));
  EXPECT_EQ(tray::CurrentWebConfig().blogBase, QLatin1String(traytest::kNoWebBase));
  EXPECT_EQ(qEnvironmentVariable("TIRVAN_WEB_BASE"), QLatin1String(traytest::kNoWebBase));
  EXPECT_FALSE(tray::HostedNetworkStarted());
  tray::LanguagesRef languages;
  EXPECT_EQ(languages->GetLanguage(), tray::kLanguageEnglish);
  EXPECT_FALSE(Below(traytest::ShotDir(), QStringLiteral(TIRVAN_BUILD_ROOT)));
}

TEST(HermeticTest, EveryTestStartsInItsOwnFoldersWithTheSharedStateReset) {
  ExpectFreshState();

  // What one test may leave behind.
  QFile settings(tray::DefaultSettingsPath());
  ASSERT_TRUE(QDir().mkpath(QFileInfo(settings).path()));
  ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
  settings.write("[Tirvan]\nSetupWizard=1\n");
  settings.close();
  ASSERT_TRUE(tray::SettingsStore().KeyExists());
  tray::WebConfig production;
  tray::SetWebConfig(production);
  tray::SetHostedNetworkStarted(true);
  tray::SetSystemLocaleOverride("zh_TW.UTF-8");
  tray::LanguagesRef languages;
  languages->SetLanguage(tray::kLanguageChineseTrad);
  qputenv("TIRVAN_WEB_BASE", "https://www.example.invalid");

  traytest::ResetSharedState();
  ExpectFreshState();
  EXPECT_EQ(languages->GetPreviousLanguage(), tray::kLanguageEnglish);
}

TEST(HermeticTest, AnExitOutsideAnyLoopDoesNotEndTheNextModalDialog) {
  traytest::TestApp();
  QCoreApplication::exit(0);  // what the program's Exit command does
  traytest::ResetSharedState();
  QMessageBox box;
  bool answered = false;
  QTimer::singleShot(0, &box, [&] {
    answered = true;
    box.done(7);
  });
  EXPECT_EQ(box.exec(), 7);
  EXPECT_TRUE(answered);
}

// Run only as the child programs of the next test.
TEST(HermeticChild, DISABLED_SeesItsOwnFoldersWhateverTheCallerSet) {
  ExpectFreshState();
  for (const char* var : kFolderVars) {
    EXPECT_FALSE(qEnvironmentVariable(var).contains(QLatin1String("caller"))) << var;
  }
  EXPECT_TRUE(qEnvironmentVariableIsEmpty("TIRVAN_SERVICE_PORT"));
  QFile settings(tray::DefaultSettingsPath());
  ASSERT_TRUE(QDir().mkpath(QFileInfo(settings).path()));
  ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
}

TEST(HermeticChild, DISABLED_LeavesAModalDialogUnanswered) {
  traytest::TestApp();
  QMessageBox box(QMessageBox::Question, QStringLiteral("Question"), QStringLiteral("nobody answers this"));
  box.exec();
}

struct ChildRun {
  int exitCode = -1;
  QString output;
  qint64 ms = 0;
};

ChildRun RunChild(const char* test, const QProcessEnvironment& env) {
  QProcess child;
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  QElapsedTimer clock;
  clock.start();
  child.start(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")),
              {QStringLiteral("--gtest_also_run_disabled_tests"),
               QStringLiteral("--gtest_filter=HermeticChild.") + QLatin1String(test)});
  ChildRun run;
  if (!child.waitForFinished(60000)) {
    child.kill();
    child.waitForFinished();
  }
  run.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
  run.output = QString::fromLocal8Bit(child.readAll());
  run.ms = clock.elapsed();
  return run;
}

TEST(HermeticTest, TheCallersFoldersStayUntouchedAndAnUnansweredModalFailsWithinSeconds) {
  QTemporaryDir caller;
  ASSERT_TRUE(caller.isValid());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* var : kFolderVars) {
    env.insert(QLatin1String(var), caller.filePath(QStringLiteral("caller-") + QLatin1String(var)));
  }
  env.insert(QStringLiteral("TIRVAN_SERVICE_PORT"), QStringLiteral("15002"));
  env.insert(QStringLiteral("TIRVAN_WEB_BASE"), QStringLiteral("https://www.example.invalid"));
  env.insert(QStringLiteral("TIRVAN_TEST_MODAL_LIMIT_MS"), QStringLiteral("300"));

  ChildRun own = RunChild("DISABLED_SeesItsOwnFoldersWhateverTheCallerSet", env);
  EXPECT_EQ(own.exitCode, 0) << own.output.toStdString();
  EXPECT_TRUE(QDir(caller.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

  ChildRun modal = RunChild("DISABLED_LeavesAModalDialogUnanswered", env);
  EXPECT_EQ(modal.exitCode, 1) << modal.output.toStdString();
  EXPECT_TRUE(modal.output.contains(QStringLiteral("nobody answers this")) &&
              modal.output.contains(QStringLiteral("stayed open")))
      << modal.output.toStdString();
  EXPECT_LT(modal.ms, 30000);
}

}  // namespace
