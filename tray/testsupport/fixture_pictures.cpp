#include "fixture_pictures.h"

#include <QPixmap>

#include "picture_table.h"
#include "skin_pictures.h"

namespace traytest {
namespace {

// The sizes the program's pictures have.
std::map<int, QSize> KnownSizes() {
  std::map<int, QSize> sizes;
  for (const tray::PictureSpec& spec : tray::kPictureTable)
    if (spec.kind == tray::PictureKind::kPng || spec.kind == tray::PictureKind::kBitmap)
      sizes[spec.number] = QSize(spec.width, spec.height);
  return sizes;
}

}  // namespace

FixturePictures::FixturePictures(std::map<int, QSize> extraSizes) : m_sizes(KnownSizes()) {
  for (const auto& [id, size] : extraSizes) m_sizes[id] = size;
  tray::SetPictureSource([this](int id) -> QPixmap {
    if (m_missing.count(id)) return QPixmap();
    QPixmap picture(Size(id));
    picture.fill(QColor::fromRgba(Color(id)));
    return picture;
  });
}

FixturePictures::~FixturePictures() { tray::SetPictureSource({}); }

QRgb FixturePictures::Color(int id) {
  // A multiplicative hash spreads neighbouring numbers over distant colours.
  unsigned h = static_cast<unsigned>(id) * 2654435761u;
  return qRgb(static_cast<int>((h >> 24) & 0xFF), static_cast<int>((h >> 16) & 0xFF),
              static_cast<int>((h >> 8) & 0xFF));
}

QSize FixturePictures::Size(int id) const {
  auto it = m_sizes.find(id);
  return it == m_sizes.end() ? QSize(16, 16) : it->second;
}

}  // namespace traytest
