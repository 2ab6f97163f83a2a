#include "paint_kit.h"

#include <QLinearGradient>

namespace picgen {

QImage NewPicture(QSize size) {
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

void Smooth(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);
  p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

QFont PictureFont(Script script, int pixelSize, bool bold) {
  QFont font;
  switch (script) {
    case Script::kLatin: font.setFamilies({"Liberation Sans"}); break;
    case Script::kSimplified: font.setFamilies({"Noto Sans CJK SC", "Liberation Sans"}); break;
    case Script::kTraditional: font.setFamilies({"Noto Sans CJK TC", "Liberation Sans"}); break;
  }
  font.setPixelSize(pixelSize);
  font.setWeight(bold ? QFont::Bold : QFont::Normal);
  font.setHintingPreference(QFont::PreferNoHinting);
  font.setStyleStrategy(QFont::PreferAntialias);
  return font;
}

Script ScriptOfLanguage(int language) {
  if (language == 1) return Script::kLatin;
  if (language == 2) return Script::kTraditional;
  return Script::kSimplified;
}

QPainterPath FacePath(QSize size, int radius) {
  QPainterPath path;
  path.addRoundedRect(QRectF(0, 0, size.width(), size.height()), radius, radius);
  return path;
}

QImage DrawFace(QSize size, const FaceStyle& style) {
  QImage image = NewPicture(size);
  QPainter p(&image);
  Smooth(p);
  const qreal w = size.width();
  const qreal h = size.height();
  const QPainterPath body = FacePath(size, style.cornerRadius);
  p.setClipPath(body);
  p.fillRect(QRectF(0, 0, w, h), palette::kBody);

  // Title strip: a calm accent gradient with a lighter top edge and a dark seam below.
  QLinearGradient strip(0, 0, 0, kCaptionHeight);
  strip.setColorAt(0.0, QColor(0x3C, 0x9D, 0xE8));
  strip.setColorAt(1.0, QColor(0x22, 0x7C, 0xC8));
  p.fillRect(QRectF(0, 0, w, kCaptionHeight), strip);
  p.fillRect(QRectF(0, 0, w, 1), QColor(255, 255, 255, 60));
  p.fillRect(QRectF(0, kCaptionHeight - 1, w, 1), palette::kAccentDark);

  if (style.bannerHeight > 0) {
    const QRectF band(0, kCaptionHeight, w, style.bannerHeight);
    QLinearGradient g(band.topLeft(), band.topRight());
    g.setColorAt(0.0, QColor(0xD6, 0xE9, 0xF8));
    g.setColorAt(1.0, QColor(0xEE, 0xF5, 0xFB));
    p.fillRect(band, g);
    p.fillRect(QRectF(0, band.bottom() - 1, w, 1), palette::kLine);
  }
  if (style.footerHeight > 0) {
    const QRectF band(0, h - style.footerHeight, w, style.footerHeight);
    p.fillRect(band, palette::kBodyShade);
    p.fillRect(QRectF(0, band.top(), w, 1), palette::kLine);
  }

  // A hairline frame so the borderless window stands off any desktop.
  p.setClipping(false);
  p.setPen(QPen(palette::kFrame, 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), style.cornerRadius, style.cornerRadius);
  return image;
}

void DrawField(QPainter& p, const QRectF& r, qreal radius, const QColor& fill, const QColor& frame) {
  p.setPen(QPen(frame, 1));
  p.setBrush(fill);
  p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}

QImage DrawButton(QSize size, ButtonLook look, ButtonState state) {
  QImage image = NewPicture(size);
  QPainter p(&image);
  Smooth(p);
  const QRectF r(0.5, 0.5, size.width() - 1, size.height() - 1);
  const qreal radius = 4;
  QColor top, bottom, frame;
  if (look == ButtonLook::kPrimary) {
    switch (state) {
      case ButtonState::kNormal: top = QColor(0x3F, 0x9F, 0xEA); bottom = QColor(0x27, 0x84, 0xD2); frame = QColor(0x1E, 0x73, 0xBC); break;
      case ButtonState::kHover: top = QColor(0x5C, 0xB2, 0xF2); bottom = QColor(0x38, 0x95, 0xE0); frame = QColor(0x25, 0x7F, 0xC9); break;
      case ButtonState::kPressed: top = QColor(0x1F, 0x70, 0xB8); bottom = QColor(0x23, 0x7B, 0xC6); frame = QColor(0x18, 0x5F, 0xA0); break;
      case ButtonState::kDisabled: top = QColor(0xBF, 0xC8, 0xD0); bottom = QColor(0xB3, 0xBD, 0xC6); frame = QColor(0xA6, 0xB0, 0xBA); break;
    }
  } else {
    switch (state) {
      case ButtonState::kNormal: top = QColor(0xFF, 0xFF, 0xFF); bottom = QColor(0xF0, 0xF1, 0xF2); frame = QColor(0xB8, 0xBE, 0xC4); break;
      case ButtonState::kHover: top = QColor(0xFF, 0xFF, 0xFF); bottom = QColor(0xE3, 0xF0, 0xFB); frame = QColor(0x5E, 0xA8, 0xE2); break;
      case ButtonState::kPressed: top = QColor(0xD5, 0xE6, 0xF5); bottom = QColor(0xE2, 0xEE, 0xF8); frame = QColor(0x3F, 0x8F, 0xD0); break;
      case ButtonState::kDisabled: top = QColor(0xF3, 0xF3, 0xF3); bottom = QColor(0xEC, 0xEC, 0xEC); frame = QColor(0xD2, 0xD4, 0xD6); break;
    }
  }
  QLinearGradient g(0, 0, 0, size.height());
  g.setColorAt(0.0, top);
  g.setColorAt(1.0, bottom);
  p.setPen(QPen(frame, 1));
  p.setBrush(g);
  p.drawRoundedRect(r, radius, radius);
  if (state != ButtonState::kPressed && state != ButtonState::kDisabled) {
    // A soft inner highlight along the top edge.
    p.setPen(QPen(QColor(255, 255, 255, look == ButtonLook::kPrimary ? 70 : 200), 1));
    p.drawLine(QPointF(radius, 1.5), QPointF(size.width() - radius, 1.5));
  }
  return image;
}

}  // namespace picgen
