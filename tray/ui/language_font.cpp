#include "language_font.h"

#include <algorithm>
#include <cstdlib>

namespace tray {

int FontPixelSize(int height, int dpiY) {
  long long product = static_cast<long long>(std::abs(height)) * dpiY;
  return static_cast<int>((product + 36) / 72);
}

QFont MakeLanguageFont(const FontRec& rec, bool underline, int dpiY) {
  QFont font(rec.face);
  font.setPixelSize(std::max(1, FontPixelSize(rec.height, dpiY)));
  int weight = rec.weight <= 0 ? 400 : std::min(rec.weight, 1000);
  font.setWeight(static_cast<QFont::Weight>(weight));
  font.setUnderline(underline);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

bool SetLanguageFont(QFont& font, const std::string& section, bool underline, int dpiY) {
  LanguagesRef store;
  if (!store.get()) return false;
  std::optional<FontRec> rec = store->GetFont(section);
  if (!rec) return false;
  font = MakeLanguageFont(*rec, underline, dpiY);
  return true;
}

}  // namespace tray
