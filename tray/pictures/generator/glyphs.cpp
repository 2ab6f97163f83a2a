#include "glyphs.h"

#include <QPainterPath>
#include <QtMath>

#include "paint_kit.h"

namespace picgen {

namespace {

QPen RoundPen(const QColor& c, qreal width) {
  QPen pen(c, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  return pen;
}

// An upward arrow (stem and head) centred in r; rotate the painter for other directions.
void DrawArrow(QPainter& p, const QRectF& r, const QColor& c, qreal width) {
  p.setPen(RoundPen(c, width));
  p.setBrush(Qt::NoBrush);
  const qreal cx = r.center().x();
  p.drawLine(QPointF(cx, r.top() + width / 2), QPointF(cx, r.bottom() - width / 2));
  const qreal head = r.width() * 0.42;
  QPolygonF chevron;
  chevron << QPointF(cx - head, r.top() + head) << QPointF(cx, r.top() + width / 2)
          << QPointF(cx + head, r.top() + head);
  p.drawPolyline(chevron);
}

}  // namespace

void DrawCloud(QPainter& p, const QRectF& r, const QColor& color) {
  // Three lobes over a flat rounded base, in proportions that read well from 14 px up.
  const qreal w = r.width();
  const qreal h = r.height();
  QPainterPath cloud;
  cloud.setFillRule(Qt::WindingFill);
  cloud.addRoundedRect(QRectF(r.left(), r.top() + h * 0.45, w, h * 0.55), h * 0.275, h * 0.275);
  cloud.addEllipse(QRectF(r.left() + w * 0.10, r.top() + h * 0.28, w * 0.38, h * 0.56));
  cloud.addEllipse(QRectF(r.left() + w * 0.30, r.top(), w * 0.46, h * 0.78));
  cloud.addEllipse(QRectF(r.left() + w * 0.58, r.top() + h * 0.30, w * 0.34, h * 0.52));
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawPath(cloud.simplified());
}

QImage DrawTitleButton(bool close, bool hover) {
  QImage image = NewPicture(QSize(14, 14));
  QPainter p(&image);
  Smooth(p);
  if (hover) {
    p.setPen(Qt::NoPen);
    p.setBrush(close ? QColor(0xE8, 0x5A, 0x4F) : QColor(255, 255, 255, 70));
    p.drawRoundedRect(QRectF(0, 0, 14, 14), 3, 3);
  }
  p.setPen(RoundPen(Qt::white, 1.6));
  if (close) {
    p.drawLine(QPointF(4, 4), QPointF(10, 10));
    p.drawLine(QPointF(10, 4), QPointF(4, 10));
  } else {
    p.drawLine(QPointF(3.5, 9.5), QPointF(10.5, 9.5));
  }
  return image;
}

QImage DrawRadioMark(bool on) {
  QImage image = NewPicture(QSize(16, 16));
  QPainter p(&image);
  Smooth(p);
  p.setPen(QPen(on ? palette::kAccent : palette::kGrey, 1.2));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(2, 2, 12, 12));
  if (on) {
    p.setPen(Qt::NoPen);
    p.setBrush(palette::kAccent);
    p.drawEllipse(QRectF(5, 5, 6, 6));
  }
  return image;
}

QImage DrawComboFace() {
  QImage image = NewPicture(QSize(122, 20));
  QPainter p(&image);
  Smooth(p);
  DrawField(p, QRectF(0, 0, 122, 20), 3, Qt::white, QColor(0xB8, 0xBE, 0xC4));
  // The arrow's well: a hairline divider left of where the arrow is drawn.
  p.setPen(QPen(palette::kLine, 1));
  p.drawLine(QPointF(102.5, 4), QPointF(102.5, 16));
  return image;
}

QImage DrawComboArrow() {
  QImage image = NewPicture(QSize(9, 6));
  QPainter p(&image);
  Smooth(p);
  p.setPen(Qt::NoPen);
  p.setBrush(palette::kGlyph);
  QPolygonF tri;
  tri << QPointF(0.5, 0.5) << QPointF(8.5, 0.5) << QPointF(4.5, 5.5);
  p.drawPolygon(tri);
  return image;
}

QImage DrawStatusReady() {
  QImage image = NewPicture(QSize(24, 24));
  QPainter p(&image);
  Smooth(p);
  p.setPen(Qt::NoPen);
  p.setBrush(palette::kGreen);
  p.drawEllipse(QRectF(1, 1, 22, 22));
  p.setPen(RoundPen(Qt::white, 2.4));
  QPolygonF tick;
  tick << QPointF(7, 12.5) << QPointF(10.5, 16) << QPointF(17, 8.5);
  p.drawPolyline(tick);
  return image;
}

QImage DrawStatusWarning() {
  QImage image = NewPicture(QSize(27, 27));
  QPainter p(&image);
  Smooth(p);
  QPainterPath tri;
  tri.moveTo(13.5, 2.5);
  tri.lineTo(25.5, 23.5);
  tri.lineTo(1.5, 23.5);
  tri.closeSubpath();
  p.setPen(QPen(QColor(0xD9, 0x8A, 0x10), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(palette::kAmber);
  p.drawPath(tri);
  p.setPen(RoundPen(Qt::white, 2.6));
  p.drawLine(QPointF(13.5, 9.5), QPointF(13.5, 15.5));
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(13.5, 19.8), 1.5, 1.5);
  return image;
}

QImage DrawMenuGlyph(int number) {
  QImage image = NewPicture(QSize(16, 16));
  QPainter p(&image);
  Smooth(p);
  const QColor ink = palette::kGlyph;
  switch (number) {
    case 280:  // mobile status, no device: a grey phone
    case 285: {  // a device online: an accent phone with a green dot
      const QColor body = number == 285 ? palette::kAccent : palette::kGrey;
      p.setPen(QPen(body, 1.4));
      p.setBrush(Qt::NoBrush);
      p.drawRoundedRect(QRectF(4.2, 1.2, 7.6, 13.6), 1.6, 1.6);
      p.setPen(RoundPen(body, 1.2));
      p.drawLine(QPointF(7, 12.2), QPointF(9, 12.2));
      if (number == 285) {
        p.setPen(QPen(Qt::white, 1));
        p.setBrush(palette::kGreen);
        p.drawEllipse(QRectF(9.5, 0.5, 6, 6));
      }
      break;
    }
    case 281: {  // exit: a power symbol
      p.setPen(RoundPen(palette::kRed, 1.7));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(2.5, 3, 11, 11), 120 * 16, 300 * 16);
      p.drawLine(QPointF(8, 1.5), QPointF(8, 7.5));
      break;
    }
    case 282: {  // switch account: a person with a turning arrow
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      p.drawEllipse(QRectF(2.5, 1.5, 5.5, 5.5));
      QPainterPath shoulders;
      shoulders.moveTo(0.8, 14.5);
      shoulders.cubicTo(0.8, 8.5, 9.7, 8.5, 9.7, 14.5);
      shoulders.closeSubpath();
      p.drawPath(shoulders);
      p.setPen(RoundPen(palette::kAccent, 1.5));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(9, 5.5, 6, 7), 60 * 16, 250 * 16);
      QPolygonF head;
      head << QPointF(12.2, 3.6) << QPointF(14.6, 5.8) << QPointF(11.8, 6.9);
      p.setBrush(palette::kAccent);
      p.setPen(Qt::NoPen);
      p.drawPolygon(head);
      break;
    }
    case 283:  // about: "i" in a circle
    case 284: {  // help: "?" in a circle
      p.setPen(Qt::NoPen);
      p.setBrush(palette::kAccent);
      p.drawEllipse(QRectF(1, 1, 14, 14));
      if (number == 283) {
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8, 4.7), 1.3, 1.3);
        p.setPen(RoundPen(Qt::white, 2));
        p.drawLine(QPointF(8, 7.5), QPointF(8, 11.8));
      } else {
        p.setPen(RoundPen(Qt::white, 1.7));
        p.setBrush(Qt::NoBrush);
        QPainterPath q;
        q.moveTo(5.6, 6);
        q.cubicTo(5.6, 3.2, 10.6, 3.2, 10.6, 6);
        q.cubicTo(10.6, 7.8, 8, 7.8, 8, 9.6);
        p.drawPath(q);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8, 12.2), 1.2, 1.2);
      }
      break;
    }
    case 286: {  // settings window: a gear
      QPainterPath gear;
      const QPointF c(8, 8);
      const int teeth = 8;
      for (int i = 0; i < teeth * 2; ++i) {
        const qreal angle = (i * 180.0 / teeth - 90 + 11.25) * M_PI / 180.0;
        const qreal a0 = angle - 0.18;
        const qreal a1 = angle + 0.18;
        const qreal radius = (i % 2 == 0) ? 7.3 : 5.4;
        const QPointF p0(c.x() + radius * std::cos(a0), c.y() + radius * std::sin(a0));
        const QPointF p1(c.x() + radius * std::cos(a1), c.y() + radius * std::sin(a1));
        if (i == 0) gear.moveTo(p0); else gear.lineTo(p0);
        gear.lineTo(p1);
      }
      gear.closeSubpath();
      QPainterPath hole;
      hole.addEllipse(c, 2.4, 2.4);
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      p.drawPath(gear.subtracted(hole));
      break;
    }
    case 287: {  // open folder
      QPainterPath back;
      back.moveTo(1, 3.5);
      back.lineTo(5.5, 3.5);
      back.lineTo(7, 5);
      back.lineTo(14, 5);
      back.lineTo(14, 13.5);
      back.lineTo(1, 13.5);
      back.closeSubpath();
      p.setPen(QPen(QColor(0xC8, 0x8E, 0x12), 1));
      p.setBrush(QColor(0xE2, 0xA2, 0x1E));
      p.drawPath(back);
      QPolygonF front;
      front << QPointF(3, 7.5) << QPointF(15.5, 7.5) << QPointF(13.5, 13.5) << QPointF(1, 13.5);
      p.setBrush(palette::kFolder);
      p.drawPolygon(front);
      break;
    }
    case 322: {  // hosted network: radio waves over a dot
      p.setPen(RoundPen(palette::kAccent, 1.6));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(1, 3, 14, 14), 45 * 16, 90 * 16);
      p.drawArc(QRectF(3.8, 6, 8.4, 8.4), 45 * 16, 90 * 16);
      p.setPen(Qt::NoPen);
      p.setBrush(palette::kAccent);
      p.drawEllipse(QPointF(8, 12.6), 1.7, 1.7);
      break;
    }
    default: break;
  }
  return image;
}

QImage DrawTransferMark(bool toPc) {
  // Opaque pictures on the list's white background.
  QImage image(QSize(13, 13), QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  Smooth(p);
  const QColor c = toPc ? palette::kGreen : palette::kAccent;
  p.translate(6.5, 6.5);
  if (toPc) p.rotate(180);
  DrawArrow(p, QRectF(-4.5, -5.5, 9, 11), c, 1.8);
  return image;
}

QImage DrawTrayIcon(int size, bool loggedOn, TrayBadge badge, int frame) {
  QImage image = NewPicture(QSize(size, size));
  QPainter p(&image);
  Smooth(p);
  p.scale(size / 32.0, size / 32.0);
  // The tile: accent when logged on, slate grey otherwise.
  QLinearGradient tile(0, 1, 0, 31);
  if (loggedOn) {
    tile.setColorAt(0, QColor(0x46, 0xA6, 0xEE));
    tile.setColorAt(1, QColor(0x1F, 0x74, 0xC2));
  } else {
    tile.setColorAt(0, QColor(0xA7, 0xB0, 0xB8));
    tile.setColorAt(1, QColor(0x76, 0x80, 0x8A));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 7, 7);
  DrawCloud(p, QRectF(5, 8, 22, 15), Qt::white);

  const QRectF badgeRect(17, 17, 14, 14);
  auto badgeDisc = [&](const QColor& fill) {
    p.setPen(QPen(Qt::white, 1.5));
    p.setBrush(fill);
    p.drawEllipse(badgeRect.adjusted(0.75, 0.75, -0.75, -0.75));
  };
  switch (badge) {
    case TrayBadge::kNone: break;
    case TrayBadge::kOnline: badgeDisc(palette::kGreen); break;
    case TrayBadge::kBusy: {
      // Three dots; the frame's dot is full, the others faint.
      badgeDisc(QColor(0x1F, 0x74, 0xC2));
      for (int i = 0; i < 3; ++i) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, i == frame % 3 ? 255 : 110));
        p.drawEllipse(QPointF(20.3 + i * 3.7, 24), 1.45, 1.45);
      }
      break;
    }
    case TrayBadge::kUpload:
    case TrayBadge::kDownload: {
      // The arrow moves along its way frame by frame.
      const bool up = badge == TrayBadge::kUpload;
      badgeDisc(up ? palette::kAccentDark : palette::kGreen);
      p.save();
      p.setClipRect(badgeRect.adjusted(2, 2, -2, -2));
      const qreal shift = (frame % 3 - 1) * 1.3 * (up ? -1 : 1);
      p.translate(24, 24 + shift);
      if (!up) p.rotate(180);
      DrawArrow(p, QRectF(-2.9, -3.4, 5.8, 6.8), Qt::white, 1.5);
      p.restore();
      break;
    }
    case TrayBadge::kAttention: {
      // Alternating frames: a bright badge, then a dimmed one, so the icon blinks.
      badgeDisc(frame % 2 == 0 ? palette::kAmber : QColor(0xF6, 0xCF, 0x8A));
      p.setPen(RoundPen(Qt::white, 1.9));
      p.drawLine(QPointF(24, 20.5), QPointF(24, 24.6));
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::white);
      p.drawEllipse(QPointF(24, 27.4), 1.1, 1.1);
      break;
    }
  }
  return image;
}

}  // namespace picgen
