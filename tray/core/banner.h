// The banner strip's pages without widgets: the remote banner page fetched over HTTPS,
// and the local page with the picture of the language that replaces it when it cannot be
// had.
#pragma once

#include <QString>

#include <atomic>
#include <optional>

namespace tray {

inline constexpr int kBannerWidth = 452;  // the strip in pixels
inline constexpr int kBannerHeight = 111;

// The local banner picture of a language: :/banner/ch.png, en.png or tw.png; English for
// an index outside 0 to 2.
QString LocalBannerPicture(int language);
// The local page: no margin, the picture of the language, its address encoded.
QString LocalBannerHtml(int language);
// The banner page at url, as UTF-8 HTML, within timeoutMs; none unless it answered 200
// with a body over HTTPS (an http:// address, or a redirect to one, is refused).
// keepGoing cleared aborts it.
std::optional<QString> FetchBannerPage(const QString& url, long timeoutMs,
                                       const std::atomic<bool>* keepGoing);

}  // namespace tray
