// A text label drawn over the dialog's face: the label's text in its own colour, font and
// string format (alignment, wrapping, whole lines only). It paints no background.
#pragma once

#include <QFont>
#include <QLabel>
#include <QRgb>
#include <QSize>
#include <QString>

class QPainter;

namespace tray {

struct StringFormat {
  Qt::Alignment horizontal = Qt::AlignLeft;  // near
  Qt::Alignment vertical = Qt::AlignTop;     // near
  bool noWrap = true;
  bool lineLimit = true;  // only whole lines are drawn (the first line always is)
};

// The number of lines `text` takes in `font` when wrapped at `width` pixels (or only at
// its own line breaks when noWrap), the same layout the label draws.
int LaidOutLines(const QString& text, const QFont& font, int width, bool noWrap);
// Draws text in rect as the label does.
void DrawFormattedText(QPainter& painter, const QRect& rect, const QString& text,
                       const QFont& font, const StringFormat& format);

class CDiyStatic : public QLabel {
  Q_OBJECT

 public:
  explicit CDiyStatic(QWidget* parent = nullptr);
  void SetTextColor(QRgb argb);
  QRgb TextColor() const { return m_textColor; }
  void SetStaticFont(const QFont& font);
  void SetStringFormat(const StringFormat& format);
  const StringFormat& Format() const { return m_format; }
  // The text's extent in the label's font on one line, without any limit.
  QSize MeasureText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRgb m_textColor = 0xFF000000;
  StringFormat m_format;
};

}  // namespace tray
