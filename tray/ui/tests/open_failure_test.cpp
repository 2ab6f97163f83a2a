// What the program cannot open through the desktop (no browser, no file manager) is said
// in a box that shows the address or the folder as selectable text: the menu's help,
// feedback, phone app and data folder, the login window's links and the about box's link;
// help falls back to the help file next to the program first. In the three languages.
#include "hermetic.h"
#include "reporting_shell.h"
#include "skin_rules.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <functional>

#include "about_dlg.h"
#include "dialog_options.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "login_dlg.h"
#include "message_box.h"
#include "no_shell_folder.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "shell_folder.h"
#include "skin_buttons.h"
#include "web_config.h"

namespace {

struct Box {
  QString message;
  QStringList details;
  bool selectable = true;  // every detail is a read-only field whose text can be selected whole
};

class OpenFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    service.status = tray::kLoggedOn;
    service.mobile = tray::kMobileNoDevice;
    service.defShareResult = tray::kDefShareSet;
    service.defShare = "/home/someone/Tirvan";
    service.answersLogOnInfo = true;
    traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
    options.showWhenNoTray = false;
    tray::WebConfig c;
    c.webBase = QStringLiteral("https://127.0.0.1:1");
    c.blogBase = QStringLiteral("https://127.0.0.1:2");
    tray::SetWebConfig(c);
    shell.result = false;
    shell.fileResult = false;
  }
  void TearDown() override {
    traytest::UseNoWebServer();
    traytest::ForgetLanguages();
  }
  // Runs act and notes each message box it brings up (then closed with OK); a grab of the
  // first is kept as shot, when given.
  std::vector<Box> WithBoxes(const std::function<void()>& act, const QString& shot = {}) {
    std::vector<Box> boxes;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* box = qobject_cast<tray::CDiyMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      if (!shot.isEmpty() && boxes.empty()) {
        box->grab().save(traytest::ShotPath(shot));
      }
      Box b{box->Label()->text(), {}};
      for (QLineEdit* field : box->Details()) {
        b.details << field->text();
        field->selectAll();
        b.selectable = b.selectable && field->isReadOnly() && field->isVisible() && field->selectedText() == field->text() &&
                       field->geometry().bottom() < tray::skin::kMessageFooterY && field->geometry().bottom() < box->OkButton()->geometry().top() &&
                       field->geometry().top() > box->Label()->geometry().bottom() &&
                       box->rect().contains(field->geometry());
      }
      boxes.push_back(b);
      box->accept();
    });
    poll.start(10);
    act();
    QCoreApplication::processEvents();
    return boxes;
  }
  static QString Text(const char* key) { return tray::GetLanguages()->GetString("MESSAGEBOX", key); }

  traytest::FakeService service;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
};

TEST_F(OpenFailureTest, EveryPageAndFolderThatCannotBeOpenedIsSaidWithItsAddress) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  dlg.LoginWindow()->hide();
  dlg.LogOnPollTick();  // logged on: the data folder is known
  const QString helpDir = QCoreApplication::applicationDirPath();
  const char* letters[] = {"cn", "en", "tw"};
  for (int language : {0, 1, 2}) {
    SCOPED_TRACE(language);
    tray::GetLanguages()->SetLanguage(language);
    const QString lang = QString::fromLatin1(letters[language]);
    const QString helpFile = QDir(helpDir).filePath(tray::HelpFileName(language));
    const struct {
      const char* name;
      unsigned command;
      const char* key;
      QStringList details;
    } cases[] = {
        {"help", tray::CSettingDlg::kCmdHelp, "MSGBOX_OPENHELPFAIL",
         {QStringLiteral("https://127.0.0.1:1/faq.html"), helpFile}},
        {"feedback", tray::CSettingDlg::kCmdFeedback, "MSGBOX_OPENURLFAIL",
         {tray::ResolveWebUrl(tray::CurrentWebConfig(), tray::FeedbackPageUrl(tray::CurrentWebConfig()))}},
        {"phone app", tray::CSettingDlg::kCmdDownload, "MSGBOX_OPENURLFAIL",
         {QStringLiteral("https://127.0.0.1:1/download.html")}},
        {"data folder", tray::CSettingDlg::kCmdOpenFolder, "MSGBOX_OPENFOLDERFAIL",
         {QStringLiteral("/home/someone/Tirvan")}},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      shell.urls.clear();
      shell.files.clear();
      std::vector<Box> boxes = WithBoxes([&] { dlg.OnMenuCommand(c.command); },
                                         QStringLiteral("open_failed_%1_%2.png").arg(QString::fromLatin1(c.name).replace(' ', '_'), lang));
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].message, Text(c.key));
      EXPECT_FALSE(boxes[0].message.isEmpty());
      EXPECT_EQ(boxes[0].details, c.details);
      EXPECT_TRUE(boxes[0].selectable);
    }
    // Help tried the page first, then the help file of the language.
    shell.urls.clear();
    shell.files.clear();
    WithBoxes([&] { dlg.OnMenuCommand(tray::CSettingDlg::kCmdHelp); });
    EXPECT_EQ(shell.urls.size(), 1);
    EXPECT_EQ(shell.files, QStringList{helpFile});

    // The login window's links.
    tray::CLoginDlg* login = dlg.LoginWindow();
    // A language change reaches the window's texts, the links' addresses among them, at
    // its next paint.
    login->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(login));
    QCoreApplication::processEvents();
    for (tray::CLoginLink* link : {login->RegisterLink(), login->ForgetLink()}) {
      std::vector<Box> boxes = WithBoxes([&] { link->click(); }, QStringLiteral("open_failed_link_%1.png").arg(lang));
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].message, Text("MSGBOX_OPENURLFAIL"));
      ASSERT_EQ(boxes[0].details.size(), 1);
      EXPECT_TRUE(boxes[0].details[0].startsWith(QStringLiteral("https://"))) << boxes[0].details[0].toStdString();
    }
  }
  tray::GetLanguages()->SetLanguage(1);
  // A browser that opens: nothing is said; help without a browser opens the help file.
  shell.result = true;
  EXPECT_TRUE(WithBoxes([&] { dlg.OnMenuCommand(tray::CSettingDlg::kCmdFeedback); }).empty());
  shell.result = false;
  shell.fileResult = true;
  shell.files.clear();
  EXPECT_TRUE(WithBoxes([&] { dlg.OnMenuCommand(tray::CSettingDlg::kCmdHelp); }).empty());
  EXPECT_EQ(shell.files, QStringList{QDir(helpDir).filePath(tray::HelpFileName(1))});
}

TEST_F(OpenFailureTest, TheAboutBoxsLinkSaysSoToo) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  dlg.LoginWindow()->hide();
  std::vector<Box> boxes;
  QTimer::singleShot(0, &dlg, [&] {
    auto* about = qobject_cast<tray::CAboutDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    boxes = WithBoxes([&] { about->OpenHomePage(); });
    about->close();
  });
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdAbout);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].message, Text("MSGBOX_OPENURLFAIL"));
  EXPECT_EQ(boxes[0].details, QStringList{QStringLiteral("https://127.0.0.1:1/")});
}

}  // namespace
