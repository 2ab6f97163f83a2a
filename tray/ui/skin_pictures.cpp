#include "skin_pictures.h"

#include <QString>

#include <utility>

namespace tray {
namespace {

PictureSource& Source() {
  static PictureSource source;
  return source;
}

}  // namespace

QPixmap LoadPngResource(int id) {
  if (id <= 0) return QPixmap();
  if (Source()) return Source()(id);
  // QPixmap::load keeps decoded pictures in the pixmap cache, so repainting is cheap.
  QPixmap picture;
  if (!picture.load(QStringLiteral(":/png/%1.png").arg(id), "PNG")) return QPixmap();
  return picture;
}

void SetPictureSource(PictureSource source) { Source() = std::move(source); }

}  // namespace tray
