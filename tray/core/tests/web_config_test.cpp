// The web server's addresses: defaults, the settings store and the environment, and the
// address of every page the tray program fetches or opens.
#include "web_config.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdlib>

#include "settings_store.h"

namespace {

TEST(WebConfig, DefaultsAreHttpsAndTheStoreThenTheEnvironmentOverrideThem) {
  ::unsetenv("TIRVAN_WEB_BASE");
  ::unsetenv("TIRVAN_BLOG_BASE");
  ::unsetenv("TIRVAN_WEB_CA");
  QTemporaryDir dir;
  tray::FileSettingsStore store(dir.filePath(QStringLiteral("settings.ini")));
  tray::WebConfig c = tray::LoadWebConfig(store);
  EXPECT_TRUE(c.webBase.startsWith(QStringLiteral("https://")));
  EXPECT_TRUE(c.blogBase.startsWith(QStringLiteral("https://")));
  EXPECT_TRUE(c.caFile.isEmpty());

  ASSERT_TRUE(store.CreateKey());
  ASSERT_TRUE(store.SetString(QStringLiteral("WebBaseUrl"), QStringLiteral("https://127.0.0.1:9/")));
  ASSERT_TRUE(store.SetString(QStringLiteral("WebCaFile"), QStringLiteral("/tmp/ca.pem")));
  c = tray::LoadWebConfig(store);
  EXPECT_EQ(c.webBase, QStringLiteral("https://127.0.0.1:9"));
  EXPECT_EQ(c.caFile, QStringLiteral("/tmp/ca.pem"));

  ::setenv("TIRVAN_WEB_BASE", "https://127.0.0.1:8", 1);
  ::setenv("TIRVAN_BLOG_BASE", "http://127.0.0.1:7//", 1);
  c = tray::LoadWebConfig(store);
  ::unsetenv("TIRVAN_WEB_BASE");
  ::unsetenv("TIRVAN_BLOG_BASE");
  EXPECT_EQ(c.webBase, QStringLiteral("https://127.0.0.1:8"));
  EXPECT_EQ(c.blogBase, QStringLiteral("http://127.0.0.1:7"));
}

TEST(WebConfig, EveryPageHasItsAddress) {
  tray::WebConfig c;
  c.webBase = QStringLiteral("https://w");
  c.blogBase = QStringLiteral("https://b");
  EXPECT_EQ(tray::VersionPageUrl(c), QStringLiteral("https://w/tirvan/update-pc.html"));
  const struct {
    int language;
    const char* notes;
    const char* banner;
  } cases[] = {
      {0, "https://w/tirvan/update-pc.html?L=cn", "https://w/tirvan/bannerpc?L=cn"},
      {1, "https://w/tirvan/update-pc.html?L=en", "https://w/tirvan/bannerpc?L=en"},
      {2, "https://w/tirvan/update-pc.html?L=tw", "https://w/tirvan/bannerpc?L=tw"},
      {3, "https://w/tirvan/update-pc.html", "https://w/tirvan/bannerpc"},
      {-1, "https://w/tirvan/update-pc.html", "https://w/tirvan/bannerpc"},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(tray::ReleaseNotesUrl(c, k.language), QString::fromLatin1(k.notes));
    EXPECT_EQ(tray::BannerUrl(c, k.language), QString::fromLatin1(k.banner));
  }
  EXPECT_EQ(tray::DownloadPageUrl(c), QStringLiteral("https://w/download.html"));
  EXPECT_EQ(tray::FaqPageUrl(c), QStringLiteral("https://w/faq.html"));
  EXPECT_EQ(tray::ChangePasswordUrl(c), QStringLiteral("https://w/changepwd.html"));
  EXPECT_EQ(tray::FeedbackPageUrl(c), QStringLiteral("https://b/book"));
  // Link targets of the language files.
  EXPECT_EQ(tray::ResolveWebUrl(c, QStringLiteral("/register.html?L=en")),
            QStringLiteral("https://w/register.html?L=en"));
  EXPECT_EQ(tray::ResolveWebUrl(c, QStringLiteral("/")), QStringLiteral("https://w/"));
  EXPECT_EQ(tray::ResolveWebUrl(c, QStringLiteral("forgetpw.html")),
            QStringLiteral("https://w/forgetpw.html"));
  EXPECT_EQ(tray::ResolveWebUrl(c, QStringLiteral("https://elsewhere/x")),
            QStringLiteral("https://elsewhere/x"));
}

}  // namespace
