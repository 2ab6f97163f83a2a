#include "banner.h"

#include <QUrl>

#include "http_fetch.h"
#include "web_config.h"

namespace tray {

QString LocalBannerPicture(int language) {
  switch (language) {
    case 0: return QStringLiteral(":/banner/ch.png");
    case 2: return QStringLiteral(":/banner/tw.png");
    default: return QStringLiteral(":/banner/en.png");
  }
}

QString LocalBannerHtml(int language) {
  QUrl src;
  src.setScheme(QStringLiteral("qrc"));
  src.setPath(LocalBannerPicture(language).mid(1));  // ":/banner/en.png" -> "/banner/en.png"
  return QStringLiteral("<html><body style=\"margin: 0px;\"><img src=\"") +
         src.toString(QUrl::FullyEncoded).toHtmlEscaped() + QStringLiteral("\"></body></html>");
}

std::optional<QString> FetchBannerPage(const QString& url, long timeoutMs,
                                       const std::atomic<bool>* keepGoing) {
  FetchOptions o;
  o.timeoutMs = timeoutMs;
  o.connectTimeoutMs = timeoutMs;
  o.httpsOnly = true;  // as every page the tray program fetches
  o.caFile = CurrentWebConfig().caFile.toStdString();
  o.keepGoing = keepGoing;
  FetchResult r = HttpGet(url.toStdString(), o);
  if (!r.Good() || r.body.empty()) {
    qInfo("banner %s: %s", qPrintable(url),
          r.ok ? ("status " + std::to_string(r.status)).c_str() : r.error.c_str());
    return std::nullopt;
  }
  return QString::fromUtf8(r.body.data(), static_cast<qsizetype>(r.body.size()));
}

}  // namespace tray
