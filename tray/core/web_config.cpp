#include "web_config.h"

#include <QByteArray>
#include <QtGlobal>

#include <mutex>
#include <optional>

#include "settings_store.h"

namespace tray {

namespace {

std::mutex g_mutex;
std::optional<WebConfig> g_config;

QString WithoutTrailingSlash(QString base) {
  while (base.endsWith(QLatin1Char('/'))) base.chop(1);
  return base;
}

void Override(QString* field, const ISettingsStore& store, const char* value, const char* env) {
  if (auto v = store.GetString(QString::fromLatin1(value)); v && !v->isEmpty()) *field = *v;
  QByteArray e = qgetenv(env);
  if (!e.isEmpty()) *field = QString::fromUtf8(e);
}

QString WithQuery(QString url, int language) {
  QString letter = LanguageLetter(language);
  if (!letter.isEmpty()) url += QStringLiteral("?L=") + letter;
  return url;
}

}  // namespace

WebConfig LoadWebConfig(const ISettingsStore& store) {
  WebConfig c;
  Override(&c.webBase, store, "WebBaseUrl", "TIRVAN_WEB_BASE");
  Override(&c.blogBase, store, "BlogBaseUrl", "TIRVAN_BLOG_BASE");
  Override(&c.caFile, store, "WebCaFile", "TIRVAN_WEB_CA");
  c.webBase = WithoutTrailingSlash(c.webBase);
  c.blogBase = WithoutTrailingSlash(c.blogBase);
  return c;
}

WebConfig CurrentWebConfig() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_config) g_config = LoadWebConfig(SettingsStore());
  return *g_config;
}

void SetWebConfig(const WebConfig& config) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_config = config;
  g_config->webBase = WithoutTrailingSlash(g_config->webBase);
  g_config->blogBase = WithoutTrailingSlash(g_config->blogBase);
}

QString LanguageLetter(int language) {
  switch (language) {
    case 0: return QStringLiteral("cn");
    case 1: return QStringLiteral("en");
    case 2: return QStringLiteral("tw");
    default: return QString();
  }
}

QString VersionPageUrl(const WebConfig& c) { return c.webBase + QStringLiteral("/tirvan/update-pc.html"); }
QString ReleaseNotesUrl(const WebConfig& c, int language) { return WithQuery(VersionPageUrl(c), language); }
QString BannerUrl(const WebConfig& c, int language) {
  return WithQuery(c.webBase + QStringLiteral("/tirvan/bannerpc"), language);
}
QString DownloadPageUrl(const WebConfig& c) { return c.webBase + QStringLiteral("/download.html"); }
QString FaqPageUrl(const WebConfig& c) { return c.webBase + QStringLiteral("/faq.html"); }
QString ChangePasswordUrl(const WebConfig& c) { return c.webBase + QStringLiteral("/changepwd.html"); }
QString FeedbackPageUrl(const WebConfig& c) { return c.blogBase + QStringLiteral("/book"); }

QString ResolveWebUrl(const WebConfig& c, const QString& target) {
  if (target.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive) ||
      target.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive))
    return target;
  if (target.startsWith(QLatin1Char('/'))) return c.webBase + target;
  return c.webBase + QLatin1Char('/') + target;
}

}  // namespace tray
