// The login window with fixture texts and pictures: its controls, the checks as the user
// meets them (message boxes, balloons, the owner's calls), Enter, the placeholders and the
// saved login, the links through the shell, and a picture of it to look at.
#include "hermetic.h"
#include "login_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTest>

#include <cstring>

#include "diy_static.h"
#include "fixture_languages.h"
#include "fixture_pictures.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "records.h"
#include "skin_buttons.h"

namespace {

const char kTexts[] =
    "[UI]\nLOGIN_EDIT_ACCOUNT=E-mail address\nLOGIN_EDIT_PASSWORD=Password\n"
    "LOGIN_STATIC_ACCOUNT=Account\nLOGIN_STATIC_PASSWORD=Password\nLOGIN_BUTTON_LOGIN=Log in\n"
    "LOGIN_CHECKBOX_REMEMBERPW=Remember password\nLOGIN_LINK_FORGETPW=Forgot password?\n"
    "LOGIN_LINK_REGISTER=Create an account\nREGACCOUNT_INFO_INVALIDEMAIL=Not an e-mail address\n"
    "REGACCOUNT_INFO_INVALIDPASS=Not a usable password\n"
    "[MESSAGEBOX]\nMSGBOX_NOACCOUNT=Enter your account\nMSGBOX_NOPASSWORD=Enter your password\n"
    "[URL]\nURL_REGACCOUT=https://tirvan.test/register\nURL_FORGETPW=https://tirvan.test/forgot\n"
    "[TOOLTIP]\nTOOTIP_REGACCOUT=Register a new account\nTOOTIP_FORGETPW=Reset your password\n";

struct Owner : tray::ICLoginDlgCallback {
  std::vector<tray::LoginInfo> logons;
  std::vector<int> hashFlags;
  int relogons = 0;
  void OnLogOn(tray::LoginInfo* record, int hash) override {
    logons.push_back(*record);
    hashFlags.push_back(hash);
  }
  void OnLogOnCancel() override {}
  void OnLogOnExit() override {}
  void ReLogOn() override { ++relogons; }
};

class LoginDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    dlg = std::make_unique<tray::CLoginDlg>(&shell);
    dlg->SetCallback(&owner);
    dlg->SetMessageSink([this](const QString& text) { messages << text; });
  }
  void ShowIt() {
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  }
  void TypeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    QApplication::processEvents();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }

  traytest::FixtureLanguages languages{kTexts};
  traytest::FixturePictures pictures;
  traytest::RecordingShell shell;
  Owner owner;
  QStringList messages;
  std::unique_ptr<tray::CLoginDlg> dlg;
};

TEST_F(LoginDlgTest, CreatedHiddenWithItsControlsAndPlaceholders) {
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_TRUE(dlg->windowFlags() & Qt::FramelessWindowHint);
  for (const char* id : {"1087", "1004", "1088", "1005", "1008", "1007", "1063", "1091"}) {
    EXPECT_NE(dlg->findChild<QWidget*>(QString::fromLatin1(id)), nullptr) << id;
  }
  EXPECT_EQ(dlg->AccountEdit()->text(), QStringLiteral("E-mail address"));
  EXPECT_EQ(dlg->PasswordEdit()->text(), QStringLiteral("Password"));
  EXPECT_EQ(dlg->PasswordEdit()->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(dlg->LoginButton()->ButtonText(), QStringLiteral("Log in"));
  EXPECT_EQ(dlg->RegisterLink()->toolTip(), QStringLiteral("Register a new account"));
  EXPECT_EQ(dlg->AccountEdit()->maxLength(), 31);
}

TEST_F(LoginDlgTest, ChecksShowTheirMessageOrBalloonAndAGoodLoginReachesTheOwner) {
  ShowIt();
  dlg->LoginButton()->click();
  EXPECT_EQ(messages, QStringList{QStringLiteral("Enter your account")});
  TypeInto(dlg->AccountEdit(), QStringLiteral("Me@Tirvan.COM"));
  dlg->LoginButton()->click();
  EXPECT_EQ(messages.last(), QStringLiteral("Enter your password"));
  TypeInto(dlg->PasswordEdit(), QStringLiteral("abc"));
  EXPECT_EQ(dlg->PasswordEdit()->echoMode(), QLineEdit::Password);
  dlg->LoginButton()->click();
  EXPECT_EQ(dlg->LastBalloon(), QStringLiteral("Not a usable password"));
  EXPECT_EQ(dlg->LastBalloonField(), QStringLiteral("1005"));
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_TRUE(owner.logons.empty());

  TypeInto(dlg->PasswordEdit(), QStringLiteral("abcdefghijklmnopq"));  // 17: still typed
  QTest::keyClick(dlg->PasswordEdit(), Qt::Key_Return);
  EXPECT_FALSE(dlg->isVisible());
  ASSERT_EQ(owner.logons.size(), 1u);
  EXPECT_STREQ(owner.logons[0].account, "me@tirvan.com");
  EXPECT_STREQ(owner.logons[0].password, "abcdefghijklmnopq");
  EXPECT_EQ(owner.hashFlags[0], 1);
  EXPECT_EQ(dlg->result(), 0);  // Enter never ended the window
}

TEST_F(LoginDlgTest, BadAddressGetsTheBalloonOnTheAccount) {
  ShowIt();
  TypeInto(dlg->AccountEdit(), QStringLiteral("me@tirvan.info"));
  TypeInto(dlg->PasswordEdit(), QStringLiteral("secret1"));
  QTest::keyClick(dlg->AccountEdit(), Qt::Key_Return);
  EXPECT_EQ(dlg->LastBalloon(), QStringLiteral("Not an e-mail address"));
  EXPECT_EQ(dlg->LastBalloonField(), QStringLiteral("1004"));
  EXPECT_TRUE(owner.logons.empty());
}

TEST_F(LoginDlgTest, SavedLoginLogsOnAgainAndAnAccountEditTakesItAway) {
  dlg->SetSavedLogin(traytest::StoredLogin("me@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 1));
  ShowIt();
  EXPECT_EQ(dlg->PasswordEdit()->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(dlg->RememberBox()->isChecked());
  dlg->LoginButton()->click();
  EXPECT_EQ(owner.relogons, 1);
  EXPECT_TRUE(owner.logons.empty());

  dlg->SetSavedLogin(traytest::StoredLogin("me@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 1));
  ShowIt();
  EXPECT_TRUE(dlg->RememberBox()->isChecked());
  dlg->AccountEdit()->setFocus();
  dlg->AccountEdit()->end(false);
  QTest::keyClick(dlg->AccountEdit(), Qt::Key_X);
  EXPECT_EQ(dlg->PasswordEdit()->text(), QStringLiteral("Password"));  // placeholder again
  EXPECT_FALSE(dlg->RememberBox()->isChecked());
  QTest::keyClick(dlg->AccountEdit(), Qt::Key_Backspace);
  EXPECT_EQ(dlg->PasswordEdit()->text(), QStringLiteral("lwMUzv154/BIwOvrMKCk5."));
  EXPECT_TRUE(dlg->RememberBox()->isChecked());
}

TEST_F(LoginDlgTest, WithoutRememberThePasswordFieldStartsEmpty) {
  dlg->SetSavedLogin(traytest::StoredLogin("me@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 0));
  ShowIt();
  EXPECT_EQ(dlg->AccountEdit()->text(), QStringLiteral("me@tirvan.com"));
  // No dots of the stored hash: the placeholder, as plain text.
  EXPECT_EQ(dlg->PasswordEdit()->text(), QStringLiteral("Password"));
  EXPECT_EQ(dlg->PasswordEdit()->echoMode(), QLineEdit::Normal);
  EXPECT_FALSE(dlg->RememberBox()->isChecked());
  dlg->LoginButton()->click();
  EXPECT_EQ(owner.relogons, 0);
  EXPECT_TRUE(owner.logons.empty());
  EXPECT_EQ(messages.last(), QStringLiteral("Enter your password"));
  // Typing the saved account again does not bring the hash back either.
  dlg->AccountEdit()->setFocus();
  dlg->AccountEdit()->end(false);
  QTest::keyClick(dlg->AccountEdit(), Qt::Key_X);
  QTest::keyClick(dlg->AccountEdit(), Qt::Key_Backspace);
  EXPECT_EQ(dlg->PasswordEdit()->text(), QStringLiteral("Password"));
  TypeInto(dlg->PasswordEdit(), QStringLiteral("secret1"));
  QTest::keyClick(dlg->PasswordEdit(), Qt::Key_Return);
  ASSERT_EQ(owner.logons.size(), 1u);
  EXPECT_STREQ(owner.logons[0].password, "secret1");
}

TEST_F(LoginDlgTest, OnlyThePlaceholdersAreGrey) {
  auto color = [](QLineEdit* edit) { return edit->palette().color(QPalette::Text); };
  ShowIt();
  ASSERT_EQ(dlg->PasswordEdit()->text(), QStringLiteral("Password"));
  const QColor grey = color(dlg->PasswordEdit());
  EXPECT_GT(grey.lightness(), 120);
  // A typed account and password: the normal text colour, darker than the placeholder's.
  TypeInto(dlg->AccountEdit(), QStringLiteral("me@tirvan.com"));
  TypeInto(dlg->PasswordEdit(), QStringLiteral("secret1"));
  for (QLineEdit* edit : {dlg->AccountEdit(), dlg->PasswordEdit()}) {
    EXPECT_NE(color(edit), grey) << edit->objectName().toStdString();
    EXPECT_LT(color(edit).lightness(), 80) << edit->objectName().toStdString();
  }
  // A saved account, too; the placeholder of its empty password stays grey.
  dlg->SetSavedLogin(traytest::StoredLogin("saved@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 0));
  EXPECT_LT(color(dlg->AccountEdit()).lightness(), 80);
  EXPECT_EQ(color(dlg->PasswordEdit()), grey);
}

TEST_F(LoginDlgTest, LinksOpenTheirAddressesThroughTheShell) {
  ShowIt();
  QTest::mouseClick(dlg->RegisterLink(), Qt::LeftButton);
  QTest::mouseClick(dlg->ForgetLink(), Qt::LeftButton);
  EXPECT_EQ(shell.urls, (QStringList{QStringLiteral("https://tirvan.test/register"),
                                     QStringLiteral("https://tirvan.test/forgot")}));
}

TEST_F(LoginDlgTest, CloseOnlyHidesAndAPostedLoginLogsIn) {
  ShowIt();
  dlg->close();
  EXPECT_FALSE(dlg->isVisible());
  QCoreApplication::postEvent(dlg.get(),
                              new tray::AutoLoginEvent(traytest::StoredLogin("a@b.com", "secret1", 1)));
  QCoreApplication::sendPostedEvents(dlg.get());
  ASSERT_EQ(owner.logons.size(), 1u);
  EXPECT_EQ(owner.logons[0].remember, 1);
  EXPECT_EQ(owner.hashFlags[0], 1);
}

// A picture of the window for a person to look at (build/tray/ui/login_dialog.png), with
// the program's own pictures and language files when they are built.
TEST(LoginDlgPictureTest, GrabsTheWindow) {
  traytest::TestApp();
  const QString langDir = QCoreApplication::applicationDirPath() + QStringLiteral("/../");
  tray::SetLanguageFolder(langDir);
  tray::LanguagesRef store;
  traytest::RecordingShell shell;
  for (int language = 0; language < 3; ++language) {
    store->SetLanguage(language);
    tray::CLoginDlg dlg(&shell);
    if (language == 1) dlg.SetSavedLogin(traytest::StoredLogin("me@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 1));
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QImage seen = dlg.grab().toImage();
    EXPECT_FALSE(seen.isNull());
    seen.save(traytest::ShotPath(QStringLiteral("login_dialog_%1.png").arg(language)));
  }
  tray::SetLanguageFolder(QString());
}

}  // namespace

