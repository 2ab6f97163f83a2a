// The data folder's move dialog: its counters in each language, and a real move from the
// service's data folder to another file system while the built tirvan-device uploads into
// it, against the built TirvanClient.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dialog_options.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "languages.h"
#include "live_service.h"
#include "move_dlg.h"
#include "no_shell_folder.h"
#include "platform/service_manager.h"
#include "qt_app.h"
#include "queued_picker.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "settings_store.h"
#include "spin.h"
#include "support/temp_dir.h"
#include "system_harness.h"
#include "wizard_dlg.h"

namespace {

class MoveDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
  }
  void TearDown() override { traytest::ForgetLanguages(); }
  traytest::NoShellFolder shell;
  tray::RealFileOps files;
};

TEST_F(MoveDlgTest, TheDialogShowsFilesAndBytesInEachLanguage) {
  traytest::FakeService service;
  tray::LanguagesRef store;
  const QString shots = qEnvironmentVariable("TIRVAN_MOVE_SHOTS");  // where to keep the grabs, if anywhere
  for (int language = 0; language < 3; ++language) {
    SCOPED_TRACE(language);
    store->SetLanguage(language);
    tray::DataFolderContext context{service, *store.get(), files, shell};
    tray::CMoveDlg dlg(context, QStringLiteral("/nowhere/a"), QStringLiteral("/nowhere/b"), {});
    dlg.Counters().filesDone = 3;
    dlg.Counters().filesTotal = 10;
    dlg.Counters().bytesDone = 3 * 1024 * 1024;
    dlg.Counters().bytesTotal = 10 * 1024 * 1024;
    dlg.Refresh();
    dlg.show();
    auto* filesText = dlg.findChild<tray::CDiyStatic*>(QStringLiteral("1151"));
    auto* bytesText = dlg.findChild<tray::CDiyStatic*>(QStringLiteral("1152"));
    auto* bar = dlg.findChild<QProgressBar*>(QStringLiteral("1153"));
    ASSERT_TRUE(filesText && bytesText && bar);
    EXPECT_TRUE(filesText->text().contains(QLatin1String("3")) && filesText->text().contains(QLatin1String("10")))
        << filesText->text().toStdString();
    EXPECT_FALSE(filesText->text().contains(QLatin1Char('%')));
    EXPECT_TRUE(bytesText->text().contains(QLatin1String("3")) && bytesText->text().contains(QLatin1String("10")))
        << bytesText->text().toStdString();
    EXPECT_EQ(bar->value(), 300);
    EXPECT_FALSE(dlg.windowTitle().isEmpty());
    if (!shots.isEmpty()) dlg.grab().save(QStringLiteral("%1/move-%2.png").arg(shots).arg(language));
    // The last stage names what it does instead of the file count.
    dlg.Counters().stage = tray::MoveCounters::kFinishing;
    dlg.Refresh();
    EXPECT_EQ(filesText->text(), store->GetString("UI", "MOVE_FINISHING"));
    EXPECT_FALSE(filesText->text().isEmpty());
    if (!shots.isEmpty()) dlg.grab().save(QStringLiteral("%1/move-finishing-%2.png").arg(shots).arg(language));
  }
}

// Another file system than the service's root: /dev/shm where it is one.
std::optional<std::string> OtherFileSystem(const std::string& than) {
  struct stat a{}, b{};
  if (::stat(than.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) return std::nullopt;
  if (::access("/dev/shm", W_OK) != 0) return std::nullopt;
  return std::string("/dev/shm");
}

TEST_F(MoveDlgTest, AMoveToAnotherFileSystemWhileADeviceUploadsKeepsEveryFile) {
  support::TempDir tmp;
  std::optional<std::string> shm = OtherFileSystem(tmp.path());
  if (!shm) GTEST_SKIP() << "no second file system beside " << tmp.path() << " (/dev/shm is on the same one)";
  qputenv("TIRVAN_MOVE_QUIET_MS", "500");
  traytest::LiveService live(tmp);
  ASSERT_NO_FATAL_FAILURE(live.Start({}, /*loginPort=*/false));
  const std::string oldFolder = live.service->DefaultFolder();
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(oldFolder + "/Pictures")));
  systest::WriteFile(oldFolder + "/Pictures/IMG_0001.JPG", systest::RandomBytes(3 << 20, 1));
  systest::WriteFile(oldFolder + "/notes.txt", "notes");
  struct timespec t[2] = {{1200000000, 0}, {1200000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (oldFolder + "/notes.txt").c_str(), t, 0), 0);
  // The service's folder as the tray learns it.
  std::string def;
  ASSERT_EQ(live.ui->GetDefShare(&def), tray::kDefShareSet);
  const QString oldBase = tray::BaseOfDataFolder(QString::fromStdString(def), QLatin1Char('/'));
  ASSERT_EQ(def, oldFolder);

  QTemporaryDir target(QString::fromStdString(*shm) + QStringLiteral("/tirvan-move-XXXXXX"));
  ASSERT_TRUE(target.isValid());
  const QString newBase = target.path();

  // The phone keeps uploading into the data folder it listed while the move runs: one
  // file after the other, until the move has ended.
  constexpr int kUploadBytes = 1 << 20;
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::vector<std::pair<std::string, int>> uploads;  // name, exit code
  std::thread phone([&] {
    for (int i = 0; !stop && i < 40; ++i) {
      const std::string name = "VID_" + std::to_string(i) + ".MP4";
      const std::string local = tmp.path() + "/" + name;
      systest::WriteFile(local, systest::RandomBytes(kUploadBytes, 100 + i));
      ++started;
      platform::CommandResult r = platform::RunCommand(
          {systest::DeviceProgram(), "--port", std::to_string(live.service->port()), "--timeout", "20000", "put",
           local, oldFolder, "--chunk", "2048"},
          60000);
      uploads.emplace_back(name, r.exitCode);
    }
  });
  ASSERT_TRUE(systest::WaitUntil([&] { return started.load() >= 2; }, 30000));

  tray::LanguagesRef store;
  tray::DataFolderContext context{*live.ui, *store.get(), files, shell};
  std::optional<tray::DataFolderResult> result;
  tray::CMoveDlg dlg(context, oldBase, newBase, [&](const tray::DataFolderResult& r) { result = r; });
  dlg.show();
  dlg.Start();
  int startedAtSwitch = -1;
  ASSERT_TRUE(traytest::Spin([&] {
    if (startedAtSwitch < 0 && dlg.Counters().stage == tray::MoveCounters::kFinishing) startedAtSwitch = started;
    return result.has_value();
  }, 120000));
  stop = true;
  phone.join();
  const std::string newFolder = (newBase + QStringLiteral("/Tirvan")).toStdString();
  // Every upload the service answered as done is whole in the folder it uses now.
  int done = 0;
  for (const auto& [name, code] : uploads) {
    if (code != 0) continue;
    ++done;
    EXPECT_EQ(systest::ReadFile(newFolder + "/" + name), systest::ReadFile(tmp.path() + "/" + name)) << name;
  }
  std::printf("%d uploads done, %zu tried, %d begun when the service took the new folder\n", done, uploads.size(),
              startedAtSwitch);
  EXPECT_GE(done, 2);
  // Uploads went on into the old folder after the service took the new one; the old
  // folder went only once they had ended.
  EXPECT_GT(static_cast<int>(uploads.size()), startedAtSwitch);

  EXPECT_TRUE(result->sent);
  EXPECT_EQ(result->move, tray::MoveOutcome::kMoved);
  EXPECT_TRUE(result->messageKey.isEmpty()) << result->messageKey.toStdString() << " " << result->detail.toStdString();
  ASSERT_EQ(live.ui->GetDefShare(&def), tray::kDefShareSet);
  EXPECT_EQ(def, newFolder);
  EXPECT_EQ(systest::ReadFile(newFolder + "/Pictures/IMG_0001.JPG"), systest::RandomBytes(3 << 20, 1));
  EXPECT_EQ(systest::ReadFile(newFolder + "/notes.txt"), "notes");
  struct stat st{};
  ASSERT_EQ(::stat((newFolder + "/notes.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(oldFolder)));
  EXPECT_FALSE(QFileInfo::exists(newBase + "/" + tray::kMoveTempName));
  EXPECT_FALSE(QFileInfo::exists(newBase + "/" + tray::kMoveNoteName));
  live.Stop();
  qunsetenv("TIRVAN_MOVE_QUIET_MS");
}

// The first start of a fresh profile while the service's data folder already holds files:
// the wizard's choice takes those files along, on one file system and onto another.
TEST_F(MoveDlgTest, TheWizardOfAFreshProfileMovesTheServicesFilledDataFolder) {
  qputenv("TIRVAN_MOVE_QUIET_MS", "200");
  for (bool otherDisk : {false, true}) {
    SCOPED_TRACE(otherDisk ? "onto another file system" : "on the same file system");
    support::TempDir tmp;
    std::optional<std::string> shm = OtherFileSystem(tmp.path());
    if (otherDisk && !shm) {
      std::printf("skipped the move onto another file system: /dev/shm is on the same one as %s\n", tmp.path().c_str());
      continue;
    }
    tmp.MakeDir("home");
    const QString home = QString::fromStdString(tmp.Sub("home"));
    const QString oldHome = qEnvironmentVariable("HOME");
    ::setenv("HOME", home.toUtf8().constData(), 1);
    traytest::LiveService live(tmp);
    ASSERT_NO_FATAL_FAILURE(live.Start());
    const std::string oldFolder = live.service->DefaultFolder();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(oldFolder + "/Pictures")));
    systest::WriteFile(oldFolder + "/Pictures/IMG_0001.JPG", systest::RandomBytes(300000, 5));
    std::string def;
    ASSERT_EQ(live.ui->GetDefShare(&def), tray::kDefShareSet);
    ASSERT_EQ(def, oldFolder);

    tray::FileSettingsStore settings(QString::fromStdString(tmp.Sub("config/Tirvan/settings.ini")));
    tray::SetSettingsStore(&settings);
    ASSERT_TRUE(settings.CreateKey());
    ASSERT_TRUE(settings.SetDword(QStringLiteral("SetupWizard"), 0));
    std::unique_ptr<QTemporaryDir> disk;
    QString chosen = home;
    if (otherDisk) {
      disk = std::make_unique<QTemporaryDir>(QString::fromStdString(*shm) + QStringLiteral("/tirvan-wizard-XXXXXX"));
      ASSERT_TRUE(disk->isValid());
      chosen = disk->path();
    }
    traytest::QueuedPicker picker;
    picker.answers = {chosen};
    traytest::RecordingShell openShell;
    traytest::RecordingTray trayBackend;
    traytest::NoAutostart autostart;
    tray::SettingDlgOptions options;
    traytest::FillDialogOptions(options, live.ui.get(), &openShell, &trayBackend, &autostart, &shell);
    options.folderPicker = &picker;
    options.showWhenNoTray = false;

    tray::CSettingDlg* current = nullptr;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (!current || !current->WizardWindow() || !current->WizardWindow()->isVisible()) return;
      poll.stop();
      tray::CWizardDlg& w = *current->WizardWindow();
      w.OnBnClickedRadioUser();
      w.OnBnClickedBrowse();
      w.OnBnClickedNext();
      w.OnBnClickedNext();
      w.OnBnClickedFinish();
    });
    poll.start(10);
    {
      tray::CSettingDlg dlg(options);
      current = &dlg;
      QCoreApplication::processEvents();  // the wizard runs modally here
      EXPECT_EQ(settings.GetDword(QStringLiteral("SetupWizard")), 1u);
      const QString want = chosen;
      EXPECT_EQ(dlg.MoveWindow() != nullptr, otherDisk);  // a copy shows its progress
      EXPECT_TRUE(traytest::Spin([&] { return !dlg.MoveWindow() && dlg.DataBase() == want; }, 60000))
          << dlg.DataBase().toStdString();
      current = nullptr;
    }
    const std::string newFolder = (chosen + QStringLiteral("/Tirvan")).toStdString();
    ASSERT_EQ(live.ui->GetDefShare(&def), tray::kDefShareSet);
    EXPECT_EQ(def, newFolder);
    EXPECT_EQ(systest::ReadFile(newFolder + "/Pictures/IMG_0001.JPG"), systest::RandomBytes(300000, 5));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(oldFolder)));
    tray::SetSettingsStore(nullptr);
    live.Stop();
    ::setenv("HOME", oldHome.toUtf8().constData(), 1);
  }
  qunsetenv("TIRVAN_MOVE_QUIET_MS");
}

}  // namespace
