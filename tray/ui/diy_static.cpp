#include "diy_static.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>

namespace tray {
namespace {


// Lays text out line by line; wrapping breaks between words, or anywhere inside a word
// wider than the line.
void Layout(QTextLayout& layout, int width, bool noWrap) {
  QTextOption option;
  option.setWrapMode(noWrap ? QTextOption::ManualWrap : QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal y = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(noWrap ? 1e6 : std::max(1, width));
    line.setPosition(QPointF(0, y));
    y += line.height();
  }
  layout.endLayout();
}

QString WithLineSeparators(QString text) {
  text.replace(QLatin1String("\r\n"), QString(QChar::LineSeparator));
  text.replace(QLatin1Char('\n'), QChar::LineSeparator);
  return text;
}

}  // namespace

int LaidOutLines(const QString& text, const QFont& font, int width, bool noWrap) {
  QTextLayout layout(WithLineSeparators(text), font);
  Layout(layout, width, noWrap);
  return layout.lineCount();
}

void DrawFormattedText(QPainter& painter, const QRect& rect, const QString& text,
                       const QFont& font, const StringFormat& format) {
  if (text.isEmpty()) return;
  QTextLayout layout(WithLineSeparators(text), font);
  Layout(layout, rect.width(), format.noWrap);
  // Whole lines only: those that end inside the rectangle, and always the first.
  int shown = 0;
  qreal height = 0;
  for (int i = 0; i < layout.lineCount(); ++i) {
    qreal next = height + layout.lineAt(i).height();
    if (format.lineLimit && i > 0 && next > rect.height() + 0.01) break;
    height = next;
    ++shown;
  }
  qreal top = rect.top();
  if (format.vertical & Qt::AlignVCenter) top += (rect.height() - height) / 2;
  else if (format.vertical & Qt::AlignBottom) top += rect.height() - height;
  painter.save();
  painter.setClipRect(rect, Qt::IntersectClip);
  qreal y = top;
  for (int i = 0; i < shown; ++i) {
    QTextLine line = layout.lineAt(i);
    qreal x = rect.left();
    qreal w = line.naturalTextWidth();
    if (format.horizontal & Qt::AlignHCenter) x += (rect.width() - w) / 2;
    else if (format.horizontal & Qt::AlignRight) x += rect.width() - w;
    line.draw(&painter, QPointF(x, y - line.y()));
    y += line.height();
  }
  painter.restore();
}

CDiyStatic::CDiyStatic(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

void CDiyStatic::SetTextColor(QRgb argb) {
  m_textColor = argb;
  update();
}

void CDiyStatic::SetStaticFont(const QFont& font) { setFont(font); }

void CDiyStatic::SetStringFormat(const StringFormat& format) {
  m_format = format;
  update();
}

QSize CDiyStatic::MeasureText() const {
  QFontMetrics metrics(font());
  return QSize(metrics.horizontalAdvance(text()), metrics.height());
}

void CDiyStatic::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(QColor::fromRgba(m_textColor));
  DrawFormattedText(painter, rect(), text(), font(), m_format);
}

}  // namespace tray
