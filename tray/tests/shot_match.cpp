#include "shot_match.h"

#include <cstdlib>

namespace xtest {

QImage Picture(int id, bool icon) {
  return QImage(QStringLiteral(":/%1/%2.png").arg(icon ? QStringLiteral("icon") : QStringLiteral("png")).arg(id))
      .convertToFormat(QImage::Format_ARGB32);
}

double MatchShare(const QImage& shot, QPoint at, const QImage& picture, QRect region, int tolerance) {
  const QImage s = shot.convertToFormat(QImage::Format_RGB32);
  region &= picture.rect();
  int counted = 0, matched = 0;
  for (int y = region.top(); y <= region.bottom(); ++y) {
    for (int x = region.left(); x <= region.right(); ++x) {
      QRgb p = picture.pixel(x, y);
      if (qAlpha(p) < 250) continue;  // see-through: whatever lies below shows
      ++counted;
      QPoint on = at + QPoint(x, y);
      if (!s.rect().contains(on)) continue;
      QRgb q = s.pixel(on);
      if (std::abs(qRed(p) - qRed(q)) <= tolerance && std::abs(qGreen(p) - qGreen(q)) <= tolerance &&
          std::abs(qBlue(p) - qBlue(q)) <= tolerance) {
        ++matched;
      }
    }
  }
  return counted ? static_cast<double>(matched) / counted : 0.0;
}

QPoint BestPlace(const QImage& shot, const QImage& picture, QRect region, QRect places, int tolerance) {
  QPoint best = places.topLeft();
  double bestShare = -1;
  for (int y = places.top(); y <= places.bottom(); ++y) {
    for (int x = places.left(); x <= places.right(); ++x) {
      const double share = MatchShare(shot, {x, y}, picture, region, tolerance);
      if (share > bestShare) {
        bestShare = share;
        best = {x, y};
      }
    }
  }
  return best;
}

}  // namespace xtest
