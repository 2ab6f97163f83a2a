// The release notes and the banner page as fetched from tirvan-web, and the local banner.
#include <gtest/gtest.h>

#include <QFile>
#include <QString>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "banner.h"
#include "hermetic.h"
#include "process.h"
#include "release_notes.h"
#include "settings_store.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "updater.h"
#include "web_config.h"

namespace {

TEST(ReleaseNotes, OnlyAStringAtDataTextIsTheNotes) {
  EXPECT_EQ(tray::ParseReleaseNotes(R"({"data":{"text":"新版本\n- faster"}})").value_or(QString()),
            QStringLiteral("新版本\n- faster"));
  for (const char* bad : {"", "not json", R"({"data":{"text":3}})", R"({"data":"text"})",
                          R"({"text":"x"})", R"(["data"])", R"({"data":{"text":"x")"}) {
    EXPECT_FALSE(tray::ParseReleaseNotes(bad).has_value()) << bad;
  }
  // An invalid byte inside the text is dropped, not turned into another character.
  EXPECT_EQ(tray::ParseReleaseNotes("{\"data\":{\"text\":\"a\xff" "b\"}}").value_or(QStringLiteral("?")),
            QStringLiteral("ab"));
}

TEST(LocalBanner, EachLanguageHasItsPictureAndAnyOtherIndexIsEnglish) {
  EXPECT_EQ(tray::LocalBannerPicture(0), QStringLiteral(":/banner/ch.png"));
  EXPECT_EQ(tray::LocalBannerPicture(1), QStringLiteral(":/banner/en.png"));
  EXPECT_EQ(tray::LocalBannerPicture(2), QStringLiteral(":/banner/tw.png"));
  EXPECT_EQ(tray::LocalBannerPicture(3), QStringLiteral(":/banner/en.png"));
  EXPECT_EQ(tray::LocalBannerPicture(-1), QStringLiteral(":/banner/en.png"));
  EXPECT_EQ(tray::LocalBannerHtml(2),
            QStringLiteral("<html><body style=\"margin: 0px;\"><img src=\"qrc:/banner/tw.png\">"
                           "</body></html>"));
}

class PagesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    s_ca = support::SharedTestCa(&error);
    ASSERT_NE(s_ca, nullptr) << error;
  }
  // Serves manifest over HTTPS (or plain HTTP) and points the web address at it.
  void Serve(const std::string& manifest, bool https = true) {
    tmp.Write("manifest", manifest);
    std::vector<std::string> args = {"--manifest", tmp.Sub("manifest")};
    if (https) args.insert(args.end(), {"--cert", s_ca->certFile, "--key", s_ca->keyFile});
    peer = std::make_unique<support::WebPeer>(TIRVAN_WEB_BIN, args,
                                              tmp.Sub("web-" + std::to_string(++servers) + ".log"), https);
    ASSERT_TRUE(peer->ok()) << peer->Log();
    tray::WebConfig c;
    c.webBase = QString::fromStdString(peer->base());
    c.caFile = QString::fromStdString(s_ca->caFile);
    tray::SetWebConfig(c);
  }
  void TearDown() override { traytest::UseNoWebServer(); }
  static const support::TestCa* s_ca;
  support::TempDir tmp;
  int servers = 0;
  std::unique_ptr<support::WebPeer> peer;
};

const support::TestCa* PagesTest::s_ca = nullptr;

TEST_F(PagesTest, ReleaseNotesFollowTheLanguageAndFailOnErrorsAndTimeOuts) {
  Serve("/tirvan/update-pc.html?L=cn body={\"data\":{\"text\":\"简体\"}}\n"
        "/tirvan/update-pc.html?L=en body={\"data\":{\"text\":\"English\"}}\n"
        "/tirvan/update-pc.html?L=tw delay=3000 body={\"data\":{\"text\":\"繁體\"}}\n"
        "/tirvan/update-pc.html status=404 body={\"data\":{\"text\":\"error page\"}}\n");
  EXPECT_EQ(tray::FetchReleaseNotes(0).value_or(QString()), QStringLiteral("简体"));
  EXPECT_EQ(tray::FetchReleaseNotes(1).value_or(QString()), QStringLiteral("English"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(tray::FetchReleaseNotes(2, 300).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_FALSE(tray::FetchReleaseNotes(7).has_value());  // no query: the 404 page
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html?L=cn"), 1);
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html?L=en"), 1);
  EXPECT_TRUE(peer->WaitRequests("/tirvan/update-pc.html?L=tw", 1, 5000));  // logged when answered
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html"), 1);
}

TEST_F(PagesTest, TheBannerPageIsHadOnlyFromA200Answer) {
  Serve("/tirvan/bannerpc?L=en body=<p>banner en</p>\n"
        "/tirvan/bannerpc?L=cn status=500 body=<p>oops</p>\n");
  tray::WebConfig c = tray::CurrentWebConfig();
  EXPECT_EQ(tray::FetchBannerPage(tray::BannerUrl(c, 1), 5000, nullptr).value_or(QString()),
            QStringLiteral("<p>banner en</p>"));
  EXPECT_FALSE(tray::FetchBannerPage(tray::BannerUrl(c, 0), 5000, nullptr).has_value());
  EXPECT_FALSE(tray::FetchBannerPage(tray::BannerUrl(c, 2), 5000, nullptr).has_value());  // 404
}

// A web address of http:// (a setting, or a redirect of the server) gets no page at all:
// the banner, the release notes and the version page are asked for over HTTPS only, so
// the plain server never even sees a request.
TEST_F(PagesTest, EveryPageIsRefusedOverPlainHttpAndNothingIsAsked) {
  Serve("/tirvan/bannerpc?L=en body=<p>plain banner</p>\n"
        "/tirvan/update-pc.html?L=en body={\"data\":{\"text\":\"plain notes\"}}\n"
        "/tirvan/update-pc.html body={\"version\":\"9.0\",\"down\":\"d\",\"md5\":\"m\",\"size\":\"1\"}\n",
        false);
  const std::string plain = peer->base();
  const tray::WebConfig c = tray::CurrentWebConfig();
  EXPECT_FALSE(tray::FetchBannerPage(tray::BannerUrl(c, 1), 5000, nullptr).has_value());
  EXPECT_FALSE(tray::FetchBannerPage(QStringLiteral("HTTP://127.0.0.1:%1/tirvan/bannerpc?L=en")
                                         .arg(peer->port()), 5000, nullptr).has_value());
  EXPECT_FALSE(tray::FetchReleaseNotes(1).has_value());
  tray::UpdaterOptions o;
  o.dataFolder = QString::fromStdString(tmp.Sub("data"));
  EXPECT_FALSE(tray::CUpdater(o).FetchVersionInfo().has_value());
  auto plainPeer = std::move(peer);

  // An HTTPS server that redirects each page to the plain one: refused as well.
  Serve("/tirvan/bannerpc?L=en location=" + plain + "/tirvan/bannerpc?L=en\n"
        "/tirvan/update-pc.html?L=en location=" + plain + "/tirvan/update-pc.html?L=en\n");
  const tray::WebConfig s = tray::CurrentWebConfig();
  EXPECT_FALSE(tray::FetchBannerPage(tray::BannerUrl(s, 1), 5000, nullptr).has_value());
  EXPECT_FALSE(tray::FetchReleaseNotes(1).has_value());
  EXPECT_EQ(peer->Requests("/tirvan/bannerpc?L=en"), 1);
  EXPECT_EQ(peer->Requests("/tirvan/update-pc.html?L=en"), 1);
  const std::string plainLog = plainPeer->Log();
  EXPECT_EQ(plainLog.find("GET "), std::string::npos) << plainLog;
}

}  // namespace

namespace {

class NoticeCallback final : public tray::IUpdateCallback {
 public:
  void NotifyInstall() override { events.push_back("install"); }
  void NotifyNoUpdate() override { events.push_back("none"); }
  void AskNotice() override { events.push_back("ask"); }
  void NotifyDownloaded() override {
    events.push_back("downloaded");
    if (updater) updater->DownloadedHandled();
  }
  void NotifyCheckFailed() override { events.push_back("failed"); }
  tray::CUpdater* updater = nullptr;
  std::vector<std::string> events;  // written by the checker only, read after it ended
};

// The folder the run script serves: every page the tray program asks for is there, and
// its installer runs and leaves its mark.
TEST(ShippedSite, ServesEveryPageAndAnInstallerThatRunsOverHttps) {
  support::TempDir tmp;
  support::TestCa ca;
  std::string error;
  ASSERT_TRUE(support::MakeTestCa(tmp.path(), &ca, &error)) << error;
  support::WebPeer peer(TIRVAN_WEB_BIN,
                        {"--manifest", TIRVAN_WEB_SITE "/manifest", "--cert", ca.certFile, "--key",
                         ca.keyFile},
                        tmp.Sub("web.log"), true);
  ASSERT_TRUE(peer.ok()) << peer.Log();
  tray::WebConfig c;
  c.webBase = c.blogBase = QString::fromStdString(peer.base());
  c.caFile = QString::fromStdString(ca.caFile);
  tray::SetWebConfig(c);

  for (int language = 0; language < 3; ++language) {
    EXPECT_TRUE(tray::FetchReleaseNotes(language).has_value()) << language;
    EXPECT_TRUE(tray::FetchBannerPage(tray::BannerUrl(c, language), 5000, nullptr).has_value());
  }
  for (const QString& url : {tray::DownloadPageUrl(c), tray::FaqPageUrl(c), tray::ChangePasswordUrl(c),
                             tray::FeedbackPageUrl(c), tray::ResolveWebUrl(c, QStringLiteral("/")),
                             tray::ResolveWebUrl(c, QStringLiteral("/register.html?L=en")),
                             tray::ResolveWebUrl(c, QStringLiteral("/forgetpw.html?L=en"))})
    EXPECT_TRUE(tray::FetchBannerPage(url, 5000, nullptr).has_value()) << url.toStdString();

  tmp.MakeDir("data");
  tray::FileSettingsStore store(QString::fromStdString(tmp.Sub("settings.ini")));
  ASSERT_TRUE(store.CreateKey());
  ASSERT_TRUE(store.SetDword(QStringLiteral("UpdateNotice"), 1));
  tray::UpdaterOptions o;
  o.dataFolder = QString::fromStdString(tmp.Sub("data"));
  o.ownVersion = QStringLiteral("0.1.0.0");
  NoticeCallback cb;
  {
    tray::CUpdater updater(o);
    cb.updater = &updater;
    updater.SetCallback(&cb);
    updater.SetSettingsStore(&store);
    ASSERT_TRUE(updater.StartCheck(false));
    ASSERT_TRUE(updater.WaitIdle(20000));
    EXPECT_EQ(cb.events, (std::vector<std::string>{"downloaded", "install"}));
    tray::QtProcessLauncher launcher;
    ASSERT_TRUE(updater.StartInstaller(launcher));
  }
  const std::string mark = tmp.Sub("data/installer-ran");
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!QFile::exists(QString::fromStdString(mark)) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(QFile::exists(QString::fromStdString(mark)));
  traytest::UseNoWebServer();
}

}  // namespace
