// The settings page against the built TirvanClient (under the built-in service manager,
// logged on to tirvan-central) through the real service client: a language chosen in the
// page's combo renames the data folder's sub-folders on disk, keeps their files, and the
// default folders the service reports follow the new names.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <memory>
#include <string>

#include "color_combobox.h"
#include "dialog_options.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "live_service.h"
#include "login_dlg.h"
#include "message_box.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "settings_store.h"
#include "skin_buttons.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

// The default folders the service holds, read by a client of its own.
tray::DefaultFolders ServiceFolders(uint16_t port) {
  tray::UIDataOptions o;
  o.transport.listenPort = 0;
  tray::CUIData probe(o);
  probe.SetServicePort(port);
  std::string root;
  if (probe.GetDefShare(&root) != tray::kDefShareSet) return {};
  return probe.Folders();
}

class SettingsPageEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    tray::InitPictures();
    tray::SetLanguageFolder(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    tray::SetSystemLocaleOverride("zh_CN.UTF-8");
    store = std::make_unique<tray::FileSettingsStore>(QString::fromStdString(tmp.Sub("config/settings.ini")));
    ASSERT_TRUE(store->CreateKey());
    ASSERT_TRUE(store->SetDword(QStringLiteral("SetupWizard"), 1));  // the first-run wizard ran
    tray::SetSettingsStore(store.get());

    ASSERT_NO_FATAL_FAILURE(live.Start({}, /*loginPort=*/false));

    traytest::FillDialogOptions(options, live.ui.get(), &shell, &trayBackend, &autostart, &shellFolder);
    options.showWhenNoTray = false;
  }
  void TearDown() override {
    live.Stop();
    tray::SetSettingsStore(nullptr);
    traytest::ForgetLanguages();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  support::TempDir tmp;
  traytest::LiveService live{tmp};
  std::unique_ptr<tray::FileSettingsStore> store;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
};

TEST_F(SettingsPageEndToEndTest, ALanguageChangeRenamesTheSubFoldersAndTheServicesDefaultFoldersFollow) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  dlg.LoginWindow()->hide();
  // No message is expected; one that shows is recorded and closed, so the test fails
  // instead of waiting on it.
  QStringList boxes;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<tray::CDiyMessageBox*>(QApplication::activeModalWidget())) {
      boxes << box->Label()->text();
      box->accept();
    }
  });
  closer.start(50);
  tray::LanguagesRef l;
  ASSERT_EQ(l->GetLanguage(), tray::kLanguageChineseSimplified);

  // The data folder the service reports, with the sub-folders in the language in force.
  std::string def;
  ASSERT_EQ(live.ui->GetDefShare(&def), tray::kDefShareSet) << live.service->Log();
  const QString data = QString::fromStdString(def);
  dlg.ApplyDataFolder(def);
  dlg.OnCbnSelchangeLanguage(tray::kLanguageChineseSimplified);
  tray::DefaultFolders before = ServiceFolders(live.service->port());
  ASSERT_EQ(before.music, (data + QStringLiteral("/音乐")).toStdString()) << live.service->Log();
  ASSERT_TRUE(QDir(data + QStringLiteral("/音乐")).exists());
  QFile song(data + QStringLiteral("/音乐/song.mp3"));
  ASSERT_TRUE(song.open(QIODevice::WriteOnly));
  song.write("la la la");
  song.close();

  // English, chosen on the page.
  dlg.ShowSettings();
  dlg.findChild<tray::CSettingButton*>(QStringLiteral("1048"))->click();
  auto* combo = dlg.findChild<tray::CColorCombobox*>(QStringLiteral("1053"));
  ASSERT_TRUE(combo);
  combo->setCurrentIndex(tray::kLanguageEnglish);
  emit combo->activated(tray::kLanguageEnglish);
  ASSERT_TRUE(systest::WaitUntil(
      [&] {
        QCoreApplication::processEvents();
        return l->GetLanguage() == tray::kLanguageEnglish;
      },
      10000));

  EXPECT_EQ(QDir(data).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name),
            (QStringList{QStringLiteral("Documents"), QStringLiteral("Music"), QStringLiteral("Pictures"),
                         QStringLiteral("Videos")}));
  QFile moved(data + QStringLiteral("/Music/song.mp3"));
  ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
  EXPECT_EQ(moved.readAll(), "la la la");
  tray::DefaultFolders after = ServiceFolders(live.service->port());
  EXPECT_EQ(after.root, def);
  EXPECT_EQ(after.picture, (data + QStringLiteral("/Pictures")).toStdString());
  EXPECT_EQ(after.music, (data + QStringLiteral("/Music")).toStdString());
  EXPECT_EQ(after.video, (data + QStringLiteral("/Videos")).toStdString());
  EXPECT_EQ(after.document, (data + QStringLiteral("/Documents")).toStdString());
  dlg.repaint();
  EXPECT_EQ(dlg.findChild<tray::CDiyStatic*>(QStringLiteral("1051"))->text(), QStringLiteral("Language"));
  EXPECT_EQ(boxes, QStringList());
  EXPECT_EQ(live.service->Reports(), "");
}

}  // namespace
