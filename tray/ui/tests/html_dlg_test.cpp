// The banner strip against tirvan-web: the remote page, the local page of the language
// when the page cannot be had, and no menu.
#include "hermetic.h"
#include "html_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>

#include <chrono>
#include <memory>

#include "banner.h"
#include "qt_app.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "web_config.h"

namespace {

QRgb BannerColor(int language) { return qRgb(40 + 60 * language, 200, 90); }

class HtmlDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    tray::SetBannerPictureSource([](int language) {
      QPixmap p(tray::kBannerWidth, tray::kBannerHeight);
      p.fill(QColor::fromRgb(BannerColor(language)));
      return p;
    });
    tmp.Write("manifest",
              "/tirvan/bannerpc?L=en body=<p>remote banner en</p>\n"
              "/tirvan/bannerpc?L=tw body=<p>remote banner tw</p>\n"
              "/tirvan/bannerpc?L=cn status=500 body=<p>server error</p>\n"
              "/slow delay=1500 body=<p>slow page</p>\n"
              "/slower delay=20000 body=<p>slower page</p>\n");
    std::string error;
    ASSERT_TRUE(support::MakeTestCa(tmp.path(), &ca, &error)) << error;
    peer = std::make_unique<support::WebPeer>(
        TIRVAN_WEB_BIN,
        std::vector<std::string>{"--manifest", tmp.Sub("manifest"), "--cert", ca.certFile, "--key", ca.keyFile},
        tmp.Sub("web.log"), true);
    ASSERT_TRUE(peer->ok()) << peer->Log();
    config.webBase = QString::fromStdString(peer->base());
    config.caFile = QString::fromStdString(ca.caFile);
    tray::SetWebConfig(config);
  }
  void TearDown() override {
    tray::SetBannerPictureSource({});
    traytest::UseNoWebServer();
  }
  // Navigates and waits for the navigation to end; the local flag it ended with.
  static bool Navigate(tray::CHtmlDlg& strip, const QString& url) {
    QSignalSpy spy(&strip, &tray::CHtmlDlg::navigated);
    strip.NavigateUrl(url, false);
    EXPECT_TRUE(spy.wait(10000)) << url.toStdString();
    return !spy.isEmpty() && spy.last().at(0).toBool();
  }
  static QRgb Centre(QWidget& w) {
    return w.grab().toImage().pixel(tray::kBannerWidth / 2, tray::kBannerHeight / 2);
  }

  support::TempDir tmp;
  support::TestCa ca;
  std::unique_ptr<support::WebPeer> peer;
  tray::WebConfig config;
};

TEST_F(HtmlDlgTest, ShowsTheRemotePageOfTheLanguageInAStripWithoutAMenu) {
  tray::CHtmlDlg strip;
  strip.SetLanguage(1);
  EXPECT_EQ(strip.size(), QSize(452, 111));
  EXPECT_FALSE(Navigate(strip, tray::BannerUrl(config, 1)));
  EXPECT_FALSE(strip.OnLocalPage());
  EXPECT_EQ(strip.Browser()->toPlainText(), QStringLiteral("remote banner en"));
  EXPECT_EQ(peer->Requests("/tirvan/bannerpc?L=en"), 1);

  strip.show();
  EXPECT_EQ(strip.Browser()->contextMenuPolicy(), Qt::NoContextMenu);
  EXPECT_EQ(strip.Browser()->viewport()->contextMenuPolicy(), Qt::NoContextMenu);
  QTest::mouseClick(strip.Browser()->viewport(), Qt::RightButton, {}, QPoint(20, 20));
  QCoreApplication::processEvents();
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_FALSE(qobject_cast<QMenu*>(w) && w->isVisible()) << "a menu opened";
}

TEST_F(HtmlDlgTest, AFailedPageGivesTheLocalPictureOnceAndTheNextNavigationTriesAgain) {
  tray::CHtmlDlg strip;
  strip.SetLanguage(0);
  QSignalSpy spy(&strip, &tray::CHtmlDlg::navigated);
  EXPECT_TRUE(Navigate(strip, tray::BannerUrl(config, 0)));  // a 500 answer
  EXPECT_TRUE(strip.OnLocalPage());
  EXPECT_TRUE(strip.Browser()->toHtml().contains(QStringLiteral("qrc:/banner/ch.png")));
  EXPECT_EQ(Centre(strip), BannerColor(0));
  QTest::qWait(200);
  EXPECT_EQ(spy.count(), 1);  // no loop
  EXPECT_EQ(peer->Requests("/tirvan/bannerpc?L=cn"), 1);

  // After a language change the owner navigates again: the flag clears, the remote page shows.
  strip.SetLanguage(2);
  EXPECT_FALSE(Navigate(strip, tray::BannerUrl(config, 2)));
  EXPECT_FALSE(strip.OnLocalPage());
  EXPECT_EQ(strip.Browser()->toPlainText(), QStringLiteral("remote banner tw"));
}

TEST_F(HtmlDlgTest, AnUnreachableServerOrAnUnknownLanguageGivesTheEnglishPictureWhereDue) {
  tray::CHtmlDlg strip;
  strip.SetLanguage(7);
  peer->Stop();  // nothing listens
  EXPECT_TRUE(Navigate(strip, tray::BannerUrl(config, 7)));
  EXPECT_TRUE(strip.Browser()->toHtml().contains(QStringLiteral("qrc:/banner/en.png")));
  EXPECT_EQ(Centre(strip), BannerColor(1));
}

TEST_F(HtmlDlgTest, OnlyTheLatestNavigationCountsAndClosingAbortsAFetch) {
  auto strip = std::make_unique<tray::CHtmlDlg>();
  strip->SetLanguage(1);
  QSignalSpy spy(strip.get(), &tray::CHtmlDlg::navigated);
  strip->NavigateUrl(config.webBase + QStringLiteral("/slow"), false);
  EXPECT_FALSE(Navigate(*strip, tray::BannerUrl(config, 1)));
  ASSERT_TRUE(peer->WaitRequests("/slow", 1, 5000));  // the slow answer has come back
  QTest::qWait(100);
  EXPECT_EQ(strip->Browser()->toPlainText(), QStringLiteral("remote banner en"));
  EXPECT_EQ(spy.count(), 1);

  strip->NavigateUrl(config.webBase + QStringLiteral("/slower"), false);
  QTest::qWait(100);
  auto start = std::chrono::steady_clock::now();
  strip.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
}

}  // namespace
