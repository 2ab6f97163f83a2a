// Where the maker's web server is: the one place every address the tray program fetches
// or opens comes from. The defaults are the maker's HTTPS hosts; the settings store
// (values WebBaseUrl, BlogBaseUrl, WebCaFile) and then the environment (TIRVAN_WEB_BASE,
// TIRVAN_BLOG_BASE, TIRVAN_WEB_CA) override them, so tests and the run script point the
// program at tirvan-web.
#pragma once

#include <QString>

namespace tray {

class ISettingsStore;

inline constexpr const char* kDefaultWebBase = "https://www.tirvan.com";
inline constexpr const char* kDefaultBlogBase = "https://blog.tirvan.com";

struct WebConfig {
  QString webBase = QString::fromLatin1(kDefaultWebBase);    // main host, no trailing "/"
  QString blogBase = QString::fromLatin1(kDefaultBlogBase);  // the blog host
  QString caFile;  // certificate authorities trusted for HTTPS; "" = the system's
};

// The defaults, then the store's values, then the environment's.
WebConfig LoadWebConfig(const ISettingsStore& store);
// The process's configuration: loaded from SettingsStore() at first use unless set.
// Safe on any thread.
WebConfig CurrentWebConfig();
void SetWebConfig(const WebConfig& config);

// "cn", "en" or "tw" for the language index 0, 1 or 2; "" for any other.
QString LanguageLetter(int language);

QString VersionPageUrl(const WebConfig& c);                 // /tirvan/update-pc.html
QString ReleaseNotesUrl(const WebConfig& c, int language);  // /tirvan/update-pc.html?L=..
QString BannerUrl(const WebConfig& c, int language);        // /tirvan/bannerpc?L=..
QString DownloadPageUrl(const WebConfig& c);                // /download.html
QString FaqPageUrl(const WebConfig& c);                     // /faq.html
QString ChangePasswordUrl(const WebConfig& c);              // /changepwd.html
QString FeedbackPageUrl(const WebConfig& c);                // the blog's /book
// A link target from a language file (section URL: home page, register, forgotten
// password, ...): a path such as "/register.html?L=en" is put on the main host; a full
// http(s) address stays as it is.
QString ResolveWebUrl(const WebConfig& c, const QString& target);

}  // namespace tray
