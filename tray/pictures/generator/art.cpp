#include "art.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include "glyphs.h"
#include "paint_kit.h"

namespace picgen {

namespace {

const char* ShortTag(int language) {
  // The word beside the name in the small logo: "cloud" in the two Chinese scripts.
  if (language == 0) return "云";
  if (language == 2) return "雲";
  return nullptr;
}

void DrawMonitor(QPainter& p, const QRectF& r) {
  p.setPen(QPen(QColor(0x3A, 0x45, 0x50), 2));
  p.setBrush(QColor(0xF7, 0xFA, 0xFC));
  p.drawRoundedRect(r, 3, 3);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x3A, 0x45, 0x50));
  const qreal cx = r.center().x();
  p.drawRect(QRectF(cx - 3, r.bottom() + 1, 6, 6));
  p.drawRoundedRect(QRectF(cx - 13, r.bottom() + 7, 26, 3), 1.5, 1.5);
}

void DrawPhone(QPainter& p, const QRectF& r) {
  p.setPen(QPen(QColor(0x3A, 0x45, 0x50), 2));
  p.setBrush(QColor(0xF7, 0xFA, 0xFC));
  p.drawRoundedRect(r, 3, 3);
  p.setPen(QPen(QColor(0x3A, 0x45, 0x50), 1.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(r.center().x() - 2.5, r.bottom() - 4), QPointF(r.center().x() + 2.5, r.bottom() - 4));
}

// A two-way link: two opposed arrow heads over a dashed line.
void DrawLink(QPainter& p, QPointF from, QPointF to, const QColor& c) {
  QPen dash(c, 2, Qt::DashLine, Qt::RoundCap);
  dash.setDashPattern({2, 2.5});
  p.setPen(dash);
  p.drawLine(from, to);
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  QPolygonF left, right;
  left << QPointF(from.x() - 1, from.y()) << QPointF(from.x() + 5, from.y() - 4) << QPointF(from.x() + 5, from.y() + 4);
  right << QPointF(to.x() + 1, to.y()) << QPointF(to.x() - 5, to.y() - 4) << QPointF(to.x() - 5, to.y() + 4);
  p.drawPolygon(left);
  p.drawPolygon(right);
}

}  // namespace

QImage DrawTitleLogo(int language) {
  QImage image = NewPicture(QSize(76, 22));
  QPainter p(&image);
  Smooth(p);
  DrawCloud(p, QRectF(1, 6, 16, 11), Qt::white);
  QFont name = PictureFont(Script::kLatin, 13, true);
  p.setFont(name);
  p.setPen(Qt::white);
  const QRectF nameRect(20, 0, 56, 22);
  p.drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter, "Tirvan");
  if (const char* tag = ShortTag(language)) {
    const int nameWidth = QFontMetrics(name).horizontalAdvance("Tirvan");
    p.setFont(PictureFont(ScriptOfLanguage(language), 11, false));
    p.setPen(QColor(255, 255, 255, 215));
    p.drawText(QRectF(20 + nameWidth + 2, 0, 76 - 22 - nameWidth, 22), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8(tag));
  }
  return image;
}

QImage DrawAboutLogo(int language) {
  QImage image = NewPicture(QSize(200, 60));
  QPainter p(&image);
  Smooth(p);
  QLinearGradient tile(0, 6, 0, 54);
  tile.setColorAt(0, QColor(0x46, 0xA6, 0xEE));
  tile.setColorAt(1, QColor(0x1F, 0x74, 0xC2));
  p.setPen(Qt::NoPen);
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(2, 6, 48, 48), 11, 11);
  DrawCloud(p, QRectF(9, 17, 34, 23), Qt::white);
  p.setPen(QColor(0x23, 0x2B, 0x33));
  p.setFont(PictureFont(Script::kLatin, 27, true));
  p.drawText(QRectF(60, 4, 140, 32), Qt::AlignLeft | Qt::AlignVCenter, "Tirvan");
  const char* sub = language == 0   ? "私有云 · 电脑版"
                    : language == 2 ? "私有雲 · 電腦版"
                                    : "Personal cloud for PC";
  p.setPen(QColor(0x6A, 0x74, 0x7E));
  p.setFont(PictureFont(ScriptOfLanguage(language), 13, false));
  p.drawText(QRectF(61, 35, 139, 20), Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(sub));
  return image;
}

QImage DrawVersionBadge() {
  QImage image = NewPicture(QSize(72, 22));
  QPainter p(&image);
  Smooth(p);
  p.setPen(Qt::NoPen);
  p.setBrush(palette::kAccent);
  p.drawRoundedRect(QRectF(0.5, 0.5, 71, 21), 10.5, 10.5);
  // A small screen glyph, then the edition.
  p.setPen(QPen(Qt::white, 1.4));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(12, 5.5, 13, 9), 1.5, 1.5);
  p.drawLine(QPointF(16, 17), QPointF(21, 17));
  p.setFont(PictureFont(Script::kLatin, 12, true));
  p.setPen(Qt::white);
  p.drawText(QRectF(30, 0, 34, 22), Qt::AlignLeft | Qt::AlignVCenter, "PC");
  return image;
}

QImage DrawProductPicture(int language) {
  QImage image = NewPicture(QSize(114, 120));
  QPainter p(&image);
  Smooth(p);
  // A soft disc behind the scene.
  QRadialGradient glow(QPointF(57, 50), 52);
  glow.setColorAt(0, QColor(0xDD, 0xEE, 0xFB));
  glow.setColorAt(1, QColor(0xDD, 0xEE, 0xFB, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(glow);
  p.drawEllipse(QPointF(57, 50), 52, 52);
  DrawCloud(p, QRectF(36, 4, 42, 27), palette::kAccent);
  DrawMonitor(p, QRectF(10, 40, 50, 34));
  DrawPhone(p, QRectF(80, 46, 22, 38));
  DrawLink(p, QPointF(63, 62), QPointF(77, 62), palette::kAccent);
  const char* caption = language == 0 ? "电脑 · 手机" : language == 2 ? "電腦 · 手機" : "PC · Phone";
  p.setPen(QColor(0x4A, 0x55, 0x60));
  p.setFont(PictureFont(ScriptOfLanguage(language), 13, false));
  p.drawText(QRectF(0, 94, 114, 22), Qt::AlignCenter, QString::fromUtf8(caption));
  return image;
}

QImage DrawBanner(int language) {
  QImage image(QSize(452, 111), QImage::Format_ARGB32_Premultiplied);
  QPainter p(&image);
  Smooth(p);
  QLinearGradient sky(0, 0, 452, 111);
  sky.setColorAt(0, QColor(0x25, 0x7F, 0xCC));
  sky.setColorAt(1, QColor(0x4C, 0xB0, 0xEC));
  p.fillRect(image.rect(), sky);
  // Faint clouds drifting across the right side.
  DrawCloud(p, QRectF(300, 14, 120, 78), QColor(255, 255, 255, 40));
  DrawCloud(p, QRectF(380, 52, 70, 46), QColor(255, 255, 255, 30));
  DrawCloud(p, QRectF(26, 30, 64, 43), Qt::white);
  const char* headline = language == 0   ? "随时随地，访问你的电脑"
                         : language == 2 ? "隨時隨地，存取你的電腦"
                                         : "Your PC, wherever you are";
  const char* line = language == 0   ? "照片、音乐、视频和文档，手机上一触即达"
                     : language == 2 ? "照片、音樂、影片和文件，手機上一觸即達"
                                     : "Photos, music, videos and documents on your phone";
  const Script script = ScriptOfLanguage(language);
  p.setPen(Qt::white);
  p.setFont(PictureFont(script, 22, true));
  p.drawText(QRectF(108, 24, 340, 34), Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(headline));
  p.setPen(QColor(255, 255, 255, 220));
  p.setFont(PictureFont(script, 13, false));
  p.drawText(QRectF(109, 60, 340, 24), Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(line));
  return image;
}

}  // namespace picgen
