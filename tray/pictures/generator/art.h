// Pictures with words: the logos, the version badge, the wizard's product pictures and
// the local banners.
#pragma once

#include <QImage>

namespace picgen {

QImage DrawTitleLogo(int language);      // 344, 376, 377: 76 x 22, on the title strip
QImage DrawAboutLogo(int language);      // 372-374: 200 x 60, on the page
QImage DrawVersionBadge();               // 375
QImage DrawProductPicture(int language); // 359-361
QImage DrawBanner(int language);         // the local banners, 452 x 111

}  // namespace picgen
