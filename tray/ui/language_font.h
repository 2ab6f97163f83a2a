// Fonts of the language files as Qt fonts: the face, the height in points turned into
// pixels at the screen's dots per inch, the weight (0 is the normal weight).
#pragma once

#include <QFont>

#include <string>

#include "languages.h"

namespace tray {

// MulDiv(|height|, dpiY, 72) pixels, rounded as MulDiv rounds.
int FontPixelSize(int height, int dpiY);
QFont MakeLanguageFont(const FontRec& rec, bool underline, int dpiY);
// The store's font of section (or FONT_DEFAULT) for a widget on a screen of dpiY; false,
// and font unchanged, when the store has neither.
bool SetLanguageFont(QFont& font, const std::string& section, bool underline, int dpiY);

}  // namespace tray
