// The update dialogs against tirvan-web: the release notes once after an update, and the
// new-version question with its box, its texts, its banner and its language.
#include "hermetic.h"
#include "update_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

#include "banner.h"
#include "diy_static.h"
#include "fixture_languages.h"
#include "fixture_pictures.h"
#include "html_dlg.h"
#include "qt_app.h"
#include "settings_store.h"
#include "skin_buttons.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "web_config.h"

namespace {

constexpr const char* kTexts =
    "[UI]\n"
    "UPDATE_STATIC1=Tirvan has been updated. What is new:\n"
    "UPDATE_STATIC3=Your shares and settings were kept.\n"
    "UPDATE_STATIC4=Thank you for using Tirvan.\n"
    "UPDATE_STATIC_UPDATENOTICE_HEAD=A new version of Tirvan, \n"
    "UPDATE_STATIC_UPDATENOTICE_TAIL=, is ready. Update now?\n"
    "UPDATE_STATIC_NEVERSHOW=Update without asking from now on\n"
    "UPDATE_BUTTON_UPDATE=Update\n"
    "UPDATE_BUTTON_CANCEL=Later\n";

constexpr const char* kChinese =
    "[UI]\nLANGUAGE_NAME=简体中文\nDIALOG_TITLE=Tirvan\nMSGBOX_BUTTON_OK=确定\n"
    "UPDATE_STATIC_UPDATENOTICE_HEAD=发现新版本 \nUPDATE_STATIC_UPDATENOTICE_TAIL=，现在更新吗？\n"
    "UPDATE_STATIC_NEVERSHOW=以后自动更新\nUPDATE_BUTTON_UPDATE=更新\nUPDATE_BUTTON_CANCEL=以后\n"
    "[FONT_DEFAULT]\nFONT_NAME=Noto Sans CJK SC\nFONT_HEIGHT=-9\n";

std::map<int, QSize> DialogPictures() {
  std::map<int, QSize> sizes = {{tray::kUpdateDlgFace, QSize(529, 284)},
                                {tray::kUpdateNoticeFace, QSize(634, 324)}};
  for (int id : {276, 277, 278}) sizes[id] = QSize(95, 33);
  for (int id : {219, 220, 221}) sizes[id] = QSize(93, 28);
  return sizes;
}

void SaveGrab(QWidget& w, const QString& name) {
  w.grab().save(traytest::ShotPath(name));
}

class UpdateDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    tray::SetBannerPictureSource([](int) {
      QPixmap p(tray::kBannerWidth, tray::kBannerHeight);
      p.fill(QColor(30, 120, 200));
      return p;
    });
    tmp.Write("manifest",
              "/tirvan/update-pc.html?L=en body={\"data\":{\"text\":\"Faster uploads.\\nNew: ünïcode ✓\"}}\n"
              "/tirvan/update-pc.html?L=cn body={\"data\":{\"text\":\"上传更快。\"}}\n"
              "/tirvan/update-pc.html?L=tw delay=3000 body={\"data\":{\"text\":\"慢\"}}\n"
              "/tirvan/bannerpc?L=en body=<p style=\"background:#ffcc00\">Banner EN</p>\n"
              "/tirvan/bannerpc?L=cn body=<p>横幅</p>\n");
    std::string error;
    ASSERT_TRUE(support::MakeTestCa(tmp.path(), &ca, &error)) << error;
    peer = std::make_unique<support::WebPeer>(
        TIRVAN_WEB_BIN,
        std::vector<std::string>{"--manifest", tmp.Sub("manifest"), "--cert", ca.certFile, "--key", ca.keyFile},
        tmp.Sub("web.log"), true);
    ASSERT_TRUE(peer->ok()) << peer->Log();
    tray::WebConfig c;
    c.webBase = QString::fromStdString(peer->base());
    c.caFile = QString::fromStdString(ca.caFile);
    tray::SetWebConfig(c);
    store = std::make_unique<tray::FileSettingsStore>(QString::fromStdString(tmp.Sub("settings.ini")));
  }
  void TearDown() override {
    tray::SetBannerPictureSource({});
    traytest::UseNoWebServer();
  }
  // Runs dialog.exec() and, once it is up, does action to it.
  static int RunWith(QDialog& dialog, const std::function<void()>& action) {
    bool acted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (acted || !dialog.isVisible()) return;
      acted = true;
      action();
    });
    poll.start(10);
    int result = dialog.exec();
    EXPECT_TRUE(acted);
    return result;
  }

  traytest::FixtureLanguages languages{kTexts};
  traytest::FixturePictures pictures{DialogPictures()};
  support::TempDir tmp;
  support::TestCa ca;
  std::unique_ptr<support::WebPeer> peer;
  std::unique_ptr<tray::FileSettingsStore> store;
};

TEST_F(UpdateDialogsTest, TheReleaseNotesOfTheLanguageFillTheDialogUntilOk) {
  tray::CUpdateDlg dialog;
  int result = RunWith(dialog, [&] {
    EXPECT_EQ(dialog.NotesEdit()->toPlainText(), QStringLiteral("Faster uploads.\nNew: ünïcode ✓"));
    EXPECT_TRUE(dialog.NotesEdit()->isReadOnly());
    auto* title = dialog.findChild<QLabel*>(QStringLiteral("1114"));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), QStringLiteral("Tirvan has been updated. What is new:"));
    auto* note = dialog.findChild<tray::CDiyStatic*>(QStringLiteral("1118"));
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text(), QStringLiteral("Thank you for using Tirvan."));
    EXPECT_EQ(dialog.OkButton()->ButtonText(), QStringLiteral("OK"));
    EXPECT_EQ(dialog.size(), QSize(529, 284));
    SaveGrab(dialog, QStringLiteral("update_dlg_en.png"));
    dialog.OkButton()->click();
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html?L=en"), 1);

  languages.Store()->SetLanguage(0);
  tray::CUpdateDlg chinese;
  ASSERT_TRUE(chinese.OnInitDialog());
  EXPECT_EQ(chinese.Notes(), QStringLiteral("上传更快。"));
}

TEST_F(UpdateDialogsTest, WithoutTheNotesTheDialogClosesAtOnce) {
  languages.Store()->SetLanguage(2);  // its notes come too late
  tray::CUpdateDlg slow(nullptr, 300);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(slow.exec(), QDialog::Rejected);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_FALSE(slow.isVisible());

  peer->Stop();
  languages.Store()->SetLanguage(1);
  tray::CUpdateDlg unreachable;
  EXPECT_EQ(unreachable.exec(), QDialog::Rejected);
}

TEST_F(UpdateDialogsTest, TheQuestionJoinsHeadVersionAndTailAtTheFirstPaint) {
  tray::CUpdateNoticeDlg dialog(QStringLiteral("1.0.0.10"), store.get());
  dialog.OnInitDialog();
  EXPECT_FALSE(dialog.TextsApplied());
  QSignalSpy banner(dialog.Banner(), &tray::CHtmlDlg::navigated);
  ASSERT_TRUE(banner.wait(10000));
  EXPECT_FALSE(dialog.Banner()->OnLocalPage());
  dialog.grab();  // paints
  EXPECT_TRUE(dialog.TextsApplied());
  EXPECT_EQ(dialog.Question()->text(),
            QStringLiteral("A new version of Tirvan, 1.0.0.10, is ready. Update now?"));
  EXPECT_EQ(dialog.UpdateButton()->ButtonText(), QStringLiteral("Update"));
  EXPECT_EQ(dialog.CancelButton()->ButtonText(), QStringLiteral("Later"));
  EXPECT_EQ(dialog.NeverShowBox()->Kind(), 3);
  EXPECT_EQ(dialog.size(), QSize(634, 324));
  EXPECT_EQ(dialog.Banner()->geometry(), QRect(1, dialog.CaptionHeight(), dialog.width() - 2, 111));
  EXPECT_EQ(dialog.PageTop(), dialog.CaptionHeight() + 111);
  SaveGrab(dialog, QStringLiteral("update_notice_en.png"));
}

TEST_F(UpdateDialogsTest, EnterDoesNothingEscapeAndCloseMeanLaterAndOnlyUpdateKeepsTheBox) {
  enum Way { kUpdate, kLater, kEscape, kClose };
  const struct {
    const char* name;
    bool keyExists;
    bool ticked;
    Way way;
    int result;
    std::optional<uint32_t> stored;
  } cases[] = {
      {"update, ticked", true, true, kUpdate, 1, 1u},
      {"update", true, false, kUpdate, 1, 0u},
      {"later", true, true, kLater, 2, std::nullopt},  // a refusal never turns into silent updates
      {"escape", true, true, kEscape, 2, std::nullopt},
      {"the close button", true, true, kClose, 2, std::nullopt},
      {"update without a key", false, true, kUpdate, 1, std::nullopt},  // nothing stored, nothing made
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(store->path());
    if (c.keyExists) {
      ASSERT_TRUE(store->CreateKey());
    }
    tray::CUpdateNoticeDlg dialog(QStringLiteral("2.0"), store.get());
    int result = RunWith(dialog, [&] {
      for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(&dialog, key);
      QCoreApplication::processEvents();
      EXPECT_TRUE(dialog.isVisible());
      dialog.NeverShowBox()->setChecked(c.ticked);
      switch (c.way) {
        case kUpdate: dialog.UpdateButton()->click(); break;
        case kLater: dialog.CancelButton()->click(); break;
        case kEscape: QTest::keyClick(&dialog, Qt::Key_Escape); break;
        case kClose: dialog.CloseButton()->click(); break;
      }
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(store->GetDword(QStringLiteral("UpdateNotice")), c.stored);
    EXPECT_EQ(store->KeyExists(), c.keyExists);
  }
  // The question as the checker puts it: Escape is Later.
  QTimer::singleShot(0, [] {
    QTimer* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll] {
      auto* dialog = qobject_cast<tray::CUpdateNoticeDlg*>(QApplication::activeModalWidget());
      if (!dialog || !dialog->isVisible()) return;
      QTest::keyClick(dialog, Qt::Key_Escape);
      poll->deleteLater();
    });
    poll->start(10);
  });
  EXPECT_EQ(tray::AskUpdateNotice(QStringLiteral("2.0")), 2);
}

TEST_F(UpdateDialogsTest, ALanguageChangeRelabelsAtTheNextPaintAndReloadsTheBanner) {
  languages.Write(0, kChinese);
  tray::CUpdateNoticeDlg dialog(QStringLiteral("1.0.0.10"), store.get());
  dialog.OnInitDialog();
  QSignalSpy banner(dialog.Banner(), &tray::CHtmlDlg::navigated);
  ASSERT_TRUE(banner.wait(10000));
  dialog.grab();
  languages.Store()->SetLanguage(0);
  EXPECT_FALSE(dialog.TextsApplied());
  ASSERT_TRUE(banner.wait(10000));
  EXPECT_EQ(dialog.Banner()->Language(), 0);
  EXPECT_EQ(peer->Requests("/tirvan/bannerpc?L=cn"), 1);
  EXPECT_EQ(dialog.Banner()->Browser()->toPlainText(), QStringLiteral("横幅"));
  dialog.grab();
  EXPECT_EQ(dialog.Question()->text(), QStringLiteral("发现新版本 1.0.0.10，现在更新吗？"));
  EXPECT_EQ(dialog.UpdateButton()->ButtonText(), QStringLiteral("更新"));
  SaveGrab(dialog, QStringLiteral("update_notice_cn.png"));
}

}  // namespace
