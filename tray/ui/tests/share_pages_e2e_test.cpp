// The shares page and the transfer log page against the built TirvanClient with
// tirvan-central, the real service client in the settings dialog, and the built
// tirvan-device as the phone: a folder added on the page is listed to the device, a folder
// removed is refused to it, and the device's download shows on the transfer log page.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hermetic.h"
#include "login_dlg.h"
#include "dialog_options.h"
#include "fake_autostart.h"
#include "live_service.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "platform/service_manager.h"
#include "qt_app.h"
#include "queued_picker.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "share_page.h"
#include "skin_buttons.h"
#include "spin.h"
#include "support/temp_dir.h"
#include "system_harness.h"
#include "translog_page.h"

namespace {

constexpr const char* kPcEmail = "pc@tirvan.test";

class SharePagesEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    ASSERT_NO_FATAL_FAILURE(live.Start());

    traytest::FillDialogOptions(options, live.ui.get(), &shell, &trayBackend, &autostart, &shellFolder);
    options.folderPicker = &picker;
    options.showWhenNoTray = false;
  }
  void TearDown() override {
    live.Stop();
    traytest::ForgetLanguages();
  }

  platform::CommandResult Device(std::vector<std::string> args) {
    std::vector<std::string> argv{systest::DeviceProgram(), "--port", std::to_string(live.service->port()),
                                  "--timeout", "10000"};
    argv.insert(argv.end(), args.begin(), args.end());
    return platform::RunCommand(argv, 30000);
  }
  std::vector<std::string> DeviceShares() {
    platform::CommandResult r = Device({"shares"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
      out.push_back(r.out.substr(start, nl - start));
    }
    return out;
  }
  static bool Has(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  }

  support::TempDir tmp;
  traytest::LiveService live{tmp, kPcEmail};
  traytest::QueuedPicker picker;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
};

TEST_F(SharePagesEndToEndTest, TheDeviceSeesWhatThePageSharesAndItsDownloadShowsInTheLog) {
  tray::CSettingDlg dlg(options);
  tray::CSharePage* page = dlg.SharePage();
  const QString root = QString::fromStdString(live.service->DefaultFolder());
  // Logged on, the dialog fetched the data folder and the shares.
  ASSERT_TRUE(traytest::Spin([&] { return dlg.Flow().fetched() && page->Paths().contains(root); }, 30000))
      << live.service->Log() << page->Paths().join(',').toStdString();
  dlg.LoginWindow()->hide();
  dlg.ShowSettingsPage(tray::CSettingDlg::kPageShares);

  // A folder added through the page reaches the device at OK.
  const std::string shared = tmp.path() + "/Holiday";
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  systest::WriteFile(shared + "/beach.txt", std::string(3000, 'b'));
  picker.answers.push_back(QString::fromStdString(shared));
  page->AddButton()->click();
  ASSERT_TRUE(page->Paths().contains(QString::fromStdString(shared)));
  dlg.OkButton()->click();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(Has(DeviceShares(), shared)) << live.service->Log();
  EXPECT_EQ(Device({"ls", shared}).exitCode, 0);

  // Removed through the page: refused to the device.
  dlg.ShowSettings();
  QTreeWidget* list = page->List();
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(1) == QString::fromStdString(shared)) list->setCurrentItem(list->topLevelItem(i));
  }
  ASSERT_TRUE(page->DeleteButton()->isEnabled());
  page->DeleteButton()->click();
  dlg.OkButton()->click();
  std::vector<std::string> after = DeviceShares();
  EXPECT_FALSE(Has(after, shared));
  EXPECT_TRUE(Has(after, root.toStdString()));
  platform::CommandResult refused = Device({"get", shared + "/beach.txt", tmp.path() + "/got-beach.txt"});
  EXPECT_EQ(refused.exitCode, 3) << refused.out << refused.err;

  // The device downloads a picture from the root folder: the log page shows it.
  const std::string pictures = page->Root().Defaults().pic.toStdString();
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(pictures)));
  systest::WriteFile(pictures + "/IMG_0042.JPG", systest::MakeJpeg(64, 48, 7));
  platform::CommandResult got = Device({"get", pictures + "/IMG_0042.JPG", tmp.path() + "/got.jpg"});
  ASSERT_EQ(got.exitCode, 0) << got.out << got.err << live.service->Log();
  ASSERT_TRUE(systest::WaitUntil([&] { return !live.service->TransLog().empty(); }, 20000)) << live.service->Log();

  auto* sharesTab = dlg.findChild<QAbstractButton*>(QStringLiteral("1049"));
  auto* logTab = dlg.findChild<QAbstractButton*>(QStringLiteral("1133"));
  QTreeWidget* log = dlg.TransLogPage()->List();
  logTab->click();
  ASSERT_GE(log->topLevelItemCount(), 1);
  EXPECT_EQ(log->topLevelItem(0)->text(0), QStringLiteral("IMG_0042"));
  EXPECT_EQ(log->topLevelItem(0)->data(0, Qt::UserRole).toInt(), 0);  // sent to a device
  EXPECT_FALSE(log->topLevelItem(0)->text(2).isEmpty());
  // Opened again: emptied and fetched anew, not doubled.
  const int rows = log->topLevelItemCount();
  sharesTab->click();
  logTab->click();
  EXPECT_EQ(log->topLevelItemCount(), rows);
  dlg.grab().save(traytest::ShotPath(QStringLiteral("settings_translog_live.png")));
  EXPECT_EQ(live.service->Reports(), "");
}

}  // namespace
