// The shared look of the tray pictures: palette, fonts and the drawing of dialog faces
// and picture buttons. Every picture is drawn from these so that they fit together.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSize>

namespace picgen {

namespace palette {
inline const QColor kAccent{0x2A, 0x8B, 0xD8};
inline const QColor kAccentDark{0x1C, 0x6F, 0xB5};
inline const QColor kAccentLight{0x5A, 0xB0, 0xEE};
inline const QColor kBody{0xEA, 0xEB, 0xE9};     // dialog page; the links' key colour
inline const QColor kBodyShade{0xE0, 0xE2, 0xDF};
inline const QColor kLine{0xCF, 0xD3, 0xD0};
inline const QColor kFrame{0xA9, 0xB1, 0xB8};
inline const QColor kInk{0x43, 0x43, 0x43};
inline const QColor kGlyph{0x4A, 0x55, 0x60};
inline const QColor kGrey{0x9A, 0xA3, 0xAB};
inline const QColor kGreen{0x3C, 0xB3, 0x5A};
inline const QColor kAmber{0xF0, 0xA0, 0x20};
inline const QColor kRed{0xD9, 0x53, 0x4F};
inline const QColor kFolder{0xF0, 0xB4, 0x29};
}  // namespace palette

// A transparent ARGB picture of the given size with a painter set up for smooth drawing.
QImage NewPicture(QSize size);
void Smooth(QPainter& p);

// Fonts from the packaged families: Latin text in Liberation Sans, Chinese in Noto Sans CJK.
enum class Script { kLatin, kSimplified, kTraditional };
QFont PictureFont(Script script, int pixelSize, bool bold);
Script ScriptOfLanguage(int language);  // 0 Simplified, 1 Latin, 2 Traditional

// A dialog face: rounded body, the 41-pixel title strip, an optional banner band below the
// strip and an optional footer band where the buttons sit.
struct FaceStyle {
  int cornerRadius = 4;
  int bannerHeight = 0;  // a band of this height right under the strip (0: none)
  int footerHeight = 0;  // a band of this height along the bottom edge (0: none)
};
constexpr int kCaptionHeight = 41;
QImage DrawFace(QSize size, const FaceStyle& style);
QPainterPath FacePath(QSize size, int radius);

// Picture buttons: a primary (accent, white text) or secondary (light, dark text) look.
enum class ButtonLook { kPrimary, kSecondary };
enum class ButtonState { kNormal, kHover, kPressed, kDisabled };
QImage DrawButton(QSize size, ButtonLook look, ButtonState state);

// A rounded input-like field with a thin frame.
void DrawField(QPainter& p, const QRectF& r, qreal radius, const QColor& fill, const QColor& frame);

}  // namespace picgen
