#include "faces.h"

#include <QLinearGradient>

#include "glyphs.h"
#include "paint_kit.h"

namespace picgen {

namespace {

constexpr int kBannerHeight = 111;  // the banner strip under the title of two dialogs

// The settings dialog: title, banner strip, the tab row from y 152 and the page below it.
QImage DrawSettingsFace(QSize size) {
  FaceStyle style;
  style.bannerHeight = kBannerHeight;
  QImage image = DrawFace(size, style);
  QPainter p(&image);
  Smooth(p);
  p.setClipPath(FacePath(size, style.cornerRadius));
  const int tabTop = kCaptionHeight + kBannerHeight;  // 152
  const int tabBottom = 187;
  QLinearGradient row(0, tabTop, 0, tabBottom);
  row.setColorAt(0, QColor(0xDD, 0xE0, 0xE3));
  row.setColorAt(1, QColor(0xD2, 0xD6, 0xDA));
  p.fillRect(QRect(0, tabTop, size.width(), tabBottom - tabTop), row);
  p.fillRect(QRect(0, tabBottom - 1, size.width(), 1), QColor(0xC3, 0xC8, 0xCD));
  // The bottom band where OK and Cancel sit.
  const int footer = 46;
  p.fillRect(QRect(0, size.height() - footer, size.width(), footer), palette::kBodyShade);
  p.fillRect(QRect(0, size.height() - footer, size.width(), 1), palette::kLine);
  p.setClipping(false);
  p.setPen(QPen(palette::kFrame, 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1), 4, 4);
  return image;
}

// The wizard: a lighter left panel that holds the product picture, the steps on the right.
QImage DrawWizardFace(QSize size, bool firstStep) {
  FaceStyle style;
  style.cornerRadius = 7;  // the wizard rounds its window with a 14-pixel ellipse
  style.footerHeight = 46;
  QImage image = DrawFace(size, style);
  QPainter p(&image);
  Smooth(p);
  p.setClipPath(FacePath(size, style.cornerRadius));
  const QRect panel(0, kCaptionHeight, 222, size.height() - kCaptionHeight - style.footerHeight);
  QLinearGradient g(0, panel.top(), 0, panel.bottom());
  g.setColorAt(0, QColor(0xF6, 0xF8, 0xF9));
  g.setColorAt(1, QColor(0xEF, 0xF2, 0xF4));
  p.fillRect(panel, g);
  p.fillRect(QRect(panel.right() + 1, panel.top(), 1, panel.height()), palette::kLine);
  if (firstStep) {
    // A card around the choice of the data folder.
    DrawField(p, QRectF(340, 180, 460, 172), 6, QColor(0xF4, 0xF5, 0xF3), palette::kLine);
  }
  p.setClipping(false);
  p.setPen(QPen(palette::kFrame, 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1), 7, 7);
  // The window's title where the other dialogs show their logo: the wizard draws no logo
  // of its own, so its face carries the program's name, the same in every language.
  DrawCloud(p, QRectF(9, 14, 16, 11), Qt::white);
  p.setFont(PictureFont(Script::kLatin, 13, true));
  p.setPen(Qt::white);
  p.drawText(QRectF(28, 8, 120, 22), Qt::AlignLeft | Qt::AlignVCenter, "Tirvan");
  return image;
}

}  // namespace

QImage DrawDialogFace(int number, QSize size) {
  FaceStyle style;
  switch (number) {
    case 337: return DrawSettingsFace(size);
    case 357: return DrawWizardFace(size, false);
    case 358: return DrawWizardFace(size, true);
    case 234: style.bannerHeight = kBannerHeight; style.footerHeight = 62; break;  // update question
    case 263: style.footerHeight = 47; break;  // message box, account switch: buttons at y 160
    case 253: style.footerHeight = 56; break;  // device-login question
    case 295: style.footerHeight = 0; break;   // hosted network
    case 272: break;                           // release notes
    case 371: style.footerHeight = 56; break;  // about
    case 232: break;                           // login
    default: break;
  }
  return DrawFace(size, style);
}

QImage DrawTab(int number, QSize size) {
  QImage image = NewPicture(size);
  QPainter p(&image);
  Smooth(p);
  const int w = size.width();
  const int h = size.height();
  if (number == 338) {
    // Selected: the page colour, open towards the page, with an accent cap.
    p.fillRect(QRect(0, 0, w, h), palette::kBody);
    p.fillRect(QRect(0, 0, w, 3), palette::kAccent);
    p.fillRect(QRect(0, 3, 1, h - 3), QColor(0xC3, 0xC8, 0xCD));
    p.fillRect(QRect(w - 1, 3, 1, h - 3), QColor(0xC3, 0xC8, 0xCD));
    return image;
  }
  QLinearGradient g(0, 0, 0, h);
  g.setColorAt(0, QColor(0xDD, 0xE0, 0xE3));
  g.setColorAt(1, QColor(0xD2, 0xD6, 0xDA));
  p.fillRect(QRect(0, 0, w, h), g);
  p.fillRect(QRect(0, h - 1, w, 1), QColor(0xC3, 0xC8, 0xCD));
  // Separators: 308 on its right, 311 on both sides (it sits between two others), 310 none
  // (the last tab meets the window's edge).
  const QColor sep(0xC3, 0xC8, 0xCD);
  if (number == 308 || number == 311) p.fillRect(QRect(w - 1, 6, 1, h - 12), sep);
  if (number == 311) p.fillRect(QRect(0, 6, 1, h - 12), sep);
  return image;
}

QImage DrawFieldFrame(QSize size) {
  QImage image = NewPicture(size);
  QPainter p(&image);
  Smooth(p);
  DrawField(p, QRectF(0, 0, size.width(), size.height()), 4, Qt::white, QColor(0xB8, 0xBE, 0xC4));
  return image;
}

QImage DrawSettingsDecoration(QSize size) {
  // A quiet hint line under the data folder: an accent dot and a fading rule.
  QImage image = NewPicture(size);
  QPainter p(&image);
  Smooth(p);
  const qreal mid = size.height() / 2.0;
  p.setPen(Qt::NoPen);
  p.setBrush(palette::kAccentLight);
  p.drawEllipse(QPointF(6, mid), 3, 3);
  QLinearGradient fade(14, 0, size.width(), 0);
  fade.setColorAt(0, palette::kAccentLight);
  fade.setColorAt(1, QColor(0x5A, 0xB0, 0xEE, 0));
  p.fillRect(QRectF(14, mid - 0.5, size.width() - 14, 1), fade);
  return image;
}

}  // namespace picgen
