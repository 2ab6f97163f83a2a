// Every dialog of the tray program in the three languages with the shipped language files
// and fonts, offscreen: each control's text, measured with the control's own font, fits
// its rectangle, no parent cuts it and no other control covers it; the settings dialog
// lays itself out afresh after a change of language. The grabs of every window in every
// language are written to the build folder (tray/ui/fit-grabs) for people to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hermetic.h"
#include "about_dlg.h"
#include "ap_dlg.h"
#include "connect_dlg.h"
#include "dialog_options.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "hosted_network.h"
#include "languages.h"
#include "login_dlg.h"
#include "message_box.h"
#include "no_shell_folder.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "settings_page.h"
#include "settings_store.h"
#include "skin_rules.h"
#include "switch_account_dlg.h"
#include "text_fit.h"
#include "update_dlg.h"
#include "wizard_dlg.h"

namespace {

const char* const kLanguageNames[] = {"ch", "en", "tw"};

// A hotspot tool that is there and never runs.
class IdleNetwork final : public tray::IHostedNetwork {
 public:
  bool ToolFound() const override { return found; }
  bool Busy() const override { return false; }
  bool Start(const QString&, const QString&, const QString&) override { return false; }
  bool Stop() override { return false; }
  bool found = true;
};

struct FixedProbe final : tray::IAdapterProbe {
  tray::AdapterState Probe() override { return state; }
  tray::AdapterState state{true, true, QStringLiteral("wlan0")};
};

class TextFitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    store = std::make_unique<tray::FileSettingsStore>(dir.filePath(QStringLiteral("config/settings.ini")));
    ASSERT_TRUE(store->CreateKey());
    ASSERT_TRUE(store->SetDword(QStringLiteral("SetupWizard"), 1));
    tray::SetSettingsStore(store.get());
    oldHome = qEnvironmentVariable("HOME");
    // A home whose path is as long as a real one, so the wizard's path texts are too.
    home = dir.filePath(QStringLiteral("home/a-rather-long-user-name"));
    QDir().mkpath(home);
    ::setenv("HOME", home.toUtf8().constData(), 1);
  }
  void TearDown() override {
    ::setenv("HOME", oldHome.toUtf8().constData(), 1);
    tray::SetSettingsStore(nullptr);
    languages->SetLanguage(1);
    traytest::ForgetLanguages();
  }

  static void ShowNow(QWidget& w) {
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    // The first paint applies the texts; the second shows them laid out.
    for (int i = 0; i < 3; ++i) {
      w.repaint();
      QApplication::processEvents();
    }
  }

  // The window's faults, with its grab kept as name_<language>.png.
  void Check(QWidget& w, const std::string& name, const traytest::TextOf& extra = {}) {
    ShowNow(w);
    const std::string file = name + "_" + kLanguageNames[languages->GetLanguage()] + ".png";
    w.grab().save(traytest::ShotPath(QStringLiteral("fit-") + QString::fromStdString(file)));
    for (const std::string& fault : traytest::ClippedTexts(w, extra)) {
      ADD_FAILURE() << file << ": " << fault;
    }
  }

  template <typename Each>
  void InEveryLanguage(Each each) {
    for (int language = 0; language < 3; ++language) {
      languages->SetLanguage(language);
      SCOPED_TRACE(kLanguageNames[language]);
      each();
    }
  }

  QTemporaryDir dir;
  QString home, oldHome;
  std::unique_ptr<tray::FileSettingsStore> store;
  tray::LanguagesRef languages;
  traytest::RecordingShell shell;
};

TEST_F(TextFitTest, SettingsDialogEveryPageAndAfterEachChangeOfLanguage) {
  traytest::FakeService service;
  traytest::RecordingTray trayBackend;
  traytest::FakeAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
  traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
  languages->SetLanguage(1);
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  dlg.LoginWindow()->hide();
  dlg.ShowAccount(QStringLiteral("someone.with.a.long.name@tirvan.com"));

  QImage englishPage;  // the settings page below the tabs, as English first showed it
  auto pages = [&](int language) {
    std::vector<std::string> geometry;
    for (int page : {tray::CSettingDlg::kPageAccount, tray::CSettingDlg::kPageShares,
                     tray::CSettingDlg::kPageTransLog, tray::CSettingDlg::kPageSettings}) {
      dlg.SelectPage(page);
      // A data folder as long as a real one: its start shows whole in the field.
      if (page == tray::CSettingDlg::kPageSettings) dlg.SettingsPage()->SetDataFolder(home + QStringLiteral("/Tirvan"));
      Check(dlg, "settings_page" + std::to_string(page));
      if (page == tray::CSettingDlg::kPageSettings) {
        // The field lies above the footer band, and tells its whole folder.
        QLineEdit* field = dlg.SettingsPage()->DataFolderField();
        EXPECT_LE(field->mapTo(&dlg, QPoint(0, field->height())).y(), dlg.height() - 46);
        EXPECT_EQ(field->toolTip(), home + QStringLiteral("/Tirvan"));
      }
      if (page == tray::CSettingDlg::kPageSettings && language == 1) {
        const QImage now = dlg.grab(QRect(0, 187, dlg.width(), dlg.height() - 187)).toImage();
        if (englishPage.isNull()) {
          englishPage = now;
        } else {
          EXPECT_TRUE(now == englishPage) << "the English settings page drawn otherwise after a change of language";
          now.save(traytest::ShotPath(QStringLiteral("fit-settings_page3_en_again.png")));
        }
      }
      for (std::string& g : traytest::Geometries(dlg)) geometry.push_back(std::to_string(page) + " " + g);
    }
    return geometry;
  };
  ShowNow(dlg);
  const std::vector<std::string> english = pages(1);
  // Chosen in the combo as the user chooses, there and back again.
  for (int language : {0, 2, 1}) {
    SCOPED_TRACE(kLanguageNames[language]);
    dlg.OnCbnSelchangeLanguage(language);
    ASSERT_EQ(languages->GetLanguage(), language);
    const std::vector<std::string> geometry = pages(language);
    if (language == 1) {
      EXPECT_EQ(geometry, english) << "English laid out otherwise after a change of language";
    }
  }
  dlg.hide();
}

TEST_F(TextFitTest, LoginSwitchAccountAndMessageBoxes) {
  InEveryLanguage([&] {
    {
      tray::CLoginDlg login(&shell);
      Check(login, "login");
      login.AccountEdit()->setText(QStringLiteral("demo@tirvan.com"));
      Check(login, "login_filled");
    }
    {
      tray::CSwitchAccountDlg question;
      Check(question, "switch_account");
    }
    for (auto [type, key] : {std::pair{tray::skin::kMessageBoxOk, "MSGBOX_NOACCOUNT"},
                             std::pair{tray::skin::kMessageBoxOkCancel, "MSGBOX_LOGIOUTUSER"},
                             std::pair{tray::skin::kMessageBoxYesNo, "MSGBOX_MOVEEXISTS"}}) {
      tray::CDiyMessageBox box(languages.get(), languages->GetString("MESSAGEBOX", key),
                               languages->GetString("UI", "DIALOG_TITLE"), type);
      Check(box, std::string("message_box_") + std::to_string(type));
    }
  });
}

TEST_F(TextFitTest, WizardEveryStep) {
  InEveryLanguage([&] {
    tray::CWizardDlg wizard(nullptr, &shell, nullptr);
    wizard.OnInitDialog();
    for (int step = 1; step <= 3; ++step) {
      wizard.ShowStep(step);
      Check(wizard, "wizard_step" + std::to_string(step));
    }
  });
}

TEST_F(TextFitTest, UpdateDialogsAboutHotspotAndDeviceLogin) {
  InEveryLanguage([&] {
    {
      tray::CUpdateDlg notes(nullptr, 200);
      notes.OnInitDialog();  // labels the controls; the notes cannot be had here
      Check(notes, "update_notes");
    }
    {
      tray::CUpdateNoticeDlg question(QStringLiteral("10.20.300.4000"), store.get());
      question.OnInitDialog();
      Check(question, "update_question");
    }
    {
      tray::CAboutDlg about(&shell, QStringLiteral("10.20.300.4000"));
      about.OnInitDialog();
      Check(about, "about", [&](const QWidget& w, traytest::ShownText& s) {
        if (&w != about.Link()) return false;
        s = {about.LinkText(), std::nullopt, w.rect(), Qt::AlignCenter, false};
        return true;
      });
    }
    {
      FixedProbe probe;
      IdleNetwork network;
      for (bool found : {true, false}) {
        network.found = found;
        tray::CApDlg hotspot(probe, network, store.get());
        Check(hotspot, found ? "hotspot" : "hotspot_no_tool");
      }
    }
    {
      tray::DeviceLoginInfo info{};
      std::strcpy(info.sender, "Anna's phone with a long name");
      std::strcpy(info.network, "home-network-5G");
      info.id = 1;
      tray::CConnectDlg question(info);
      question.OnInitDialog();
      Check(question, "device_login");
    }
  });
}

}  // namespace
