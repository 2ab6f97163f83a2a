#include "fixture_pictures.h"

#include <QPixmap>

#include "skin_pictures.h"

namespace traytest {
namespace {

std::map<int, QSize> KnownSizes() {
  std::map<int, QSize> sizes;
  for (int id : {326, 327, 328, 329}) sizes[id] = QSize(14, 14);
  for (int id : {344, 376, 377}) sizes[id] = QSize(76, 22);
  sizes[369] = QSize(254, 29);
  sizes[370] = QSize(179, 17);
  sizes[222] = sizes[223] = QSize(16, 16);
  sizes[263] = QSize(355, 197);
  for (int id : {259, 260, 261}) sizes[id] = QSize(89, 30);
  sizes[224] = QSize(122, 20);
  sizes[225] = QSize(9, 6);
  for (int id : {280, 281, 282, 283, 284, 285, 286, 287, 322}) sizes[id] = QSize(16, 16);
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
