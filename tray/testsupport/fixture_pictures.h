// Fixture pictures for widget tests: while a FixturePictures lives, LoadPngResource hands
// out solid pictures, each of one colour that tells its number apart, in the pictures'
// natural sizes (16 x 16 for numbers the table does not know). Pictures can be made
// missing.
#pragma once

#include <QRgb>
#include <QSize>

#include <map>
#include <set>

namespace traytest {

class FixturePictures {
 public:
  explicit FixturePictures(std::map<int, QSize> extraSizes = {});
  ~FixturePictures();
  FixturePictures(const FixturePictures&) = delete;
  FixturePictures& operator=(const FixturePictures&) = delete;

  // The one colour of picture id (opaque, distinct for the numbers the skin uses).
  static QRgb Color(int id);
  QSize Size(int id) const;
  void SetMissing(int id) { m_missing.insert(id); }
  void SetSize(int id, QSize size) { m_sizes[id] = size; }

 private:
  std::map<int, QSize> m_sizes;
  std::set<int> m_missing;
};

}  // namespace traytest
