#include "skin_buttons.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

#include "skin_pictures.h"

namespace tray {
namespace {

constexpr int kSingleLine = Qt::TextSingleLine;

// A button whose pictures are all missing still shows where it is.
void PaintNeutralButton(QPainter& painter, const QRect& rect) {
  painter.save();
  painter.setPen(QColor(0xB0, 0xB0, 0xB0));
  painter.setBrush(QColor(0xE8, 0xE8, 0xE8));
  painter.drawRect(rect.adjusted(0, 0, -1, -1));
  painter.restore();
}

}  // namespace

// --- CColorButton -------------------------------------------------------------------------

CColorButton::CColorButton(QWidget* parent) : QPushButton(parent) {
  setAttribute(Qt::WA_Hover);
  setFlat(true);
}

void CColorButton::SetKind(int kind) {
  m_kind = kind;
  const bool checkable = kind == skin::kKindMark || kind == skin::kKindCheckBox;
  setCheckable(checkable);
  if (checkable) {
    setAutoDefault(false);
    setDefault(false);
  }
  update();
}

void CColorButton::SetPictures(int normal, int hover, int pressed, int disabled) {
  m_pictures = skin::ButtonPictures{normal, hover, pressed, disabled};
  update();
}

void CColorButton::SetTextColor(QRgb argb) {
  m_textColor = argb;
  update();
}

void CColorButton::SetButtonFont(const QFont& font) { setFont(font); }

void CColorButton::SetButtonText(const QString& text) {
  m_text = skin::ButtonStoredText(m_kind, text);
  setAccessibleName(text);
  update();
}

int CColorButton::CurrentPicture() const {
  if (m_kind == skin::kKindMark) return skin::MarkPicture(isChecked());
  if (m_kind == skin::kKindPush)
    return skin::PushButtonPicture(m_pictures, isEnabled(), m_pressed, m_inside);
  return 0;
}

void CColorButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  switch (m_kind) {
    case skin::kKindMark: PaintMark(painter); break;
    case skin::kKindCheckBox: PaintCheckBox(painter); break;
    default: PaintPush(painter); break;
  }
}

void CColorButton::PaintPush(QPainter& painter) {
  int chosen = CurrentPicture();
  QPixmap picture = LoadPngResource(chosen);
  if (picture.isNull()) {
    int fallback = skin::FallbackPicture(m_pictures, chosen, false);
    if (fallback != 0) picture = LoadPngResource(fallback);
  }
  if (picture.isNull())
    PaintNeutralButton(painter, rect());
  else
    painter.drawPixmap(0, 0, picture);
  painter.setPen(QColor::fromRgba(skin::ButtonTextColor(m_kind, isEnabled(), m_textColor)));
  painter.drawText(rect(), Qt::AlignCenter | kSingleLine, m_text);
}

void CColorButton::PaintMark(QPainter& painter) {
  QPixmap mark = LoadPngResource(CurrentPicture());
  if (!mark.isNull()) painter.drawPixmap(skin::MarkAt(height(), mark.size()), mark);
  painter.setPen(QColor::fromRgba(skin::ButtonTextColor(m_kind, isEnabled(), m_textColor)));
  painter.drawText(QRect(skin::kMarkTextX, 0, width() - skin::kMarkTextX, height()),
                   Qt::AlignLeft | Qt::AlignVCenter | kSingleLine, m_text);
}

void CColorButton::PaintCheckBox(QPainter& painter) {
  // The style's own glyph at the left edge, our text from x 16.
  QStyleOptionButton option;
  option.initFrom(this);
  option.state |= isChecked() ? QStyle::State_On : QStyle::State_Off;
  if (m_pressed && m_inside) option.state |= QStyle::State_Sunken;
  QRect indicator = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
  option.rect = indicator;
  style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, &painter, this);
  painter.setPen(QColor::fromRgba(skin::ButtonTextColor(m_kind, isEnabled(), m_textColor)));
  painter.drawText(QRect(skin::kMarkTextX, 0, width() - skin::kMarkTextX, height()),
                   Qt::AlignLeft | Qt::AlignVCenter | kSingleLine, m_text);
}

void CColorButton::SetInside(bool inside) {
  if (inside == m_inside) return;
  m_inside = inside;
  update();
}

void CColorButton::mousePressEvent(QMouseEvent* event) {
  QPushButton::mousePressEvent(event);
  if (event->button() == Qt::LeftButton) {
    m_pressed = true;
    m_inside = rect().contains(event->position().toPoint());
    update();
  }
}

void CColorButton::mouseReleaseEvent(QMouseEvent* event) {
  QPushButton::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton) {
    m_pressed = false;
    update();
  }
}

void CColorButton::mouseMoveEvent(QMouseEvent* event) {
  QPushButton::mouseMoveEvent(event);
  SetInside(rect().contains(event->position().toPoint()));
}

void CColorButton::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  SetInside(true);
}

void CColorButton::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  SetInside(false);
}

// --- CTransparentButton -------------------------------------------------------------------

CTransparentButton::CTransparentButton(QWidget* parent) : QAbstractButton(parent) {
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::NoFocus);
}

void CTransparentButton::SetPictures(int normal, int hover, int disabled) {
  m_pictures = skin::ButtonPictures{normal, hover, 0, disabled};
  update();
}

int CTransparentButton::CurrentPicture() const {
  return skin::TransparentButtonPicture(m_pictures, isEnabled(), m_inside);
}

void CTransparentButton::paintEvent(QPaintEvent*) {
  int chosen = CurrentPicture();
  QPixmap picture = LoadPngResource(chosen);
  if (picture.isNull()) {
    int fallback = skin::FallbackPicture(m_pictures, chosen, false);
    if (fallback != 0) picture = LoadPngResource(fallback);
  }
  if (picture.isNull()) return;
  QPainter painter(this);
  painter.drawPixmap(skin::CenteredAt(size(), picture.size()), picture);
}

void CTransparentButton::SetInside(bool inside) {
  if (inside == m_inside) return;
  m_inside = inside;
  update();
}

void CTransparentButton::mouseMoveEvent(QMouseEvent* event) {
  QAbstractButton::mouseMoveEvent(event);
  SetInside(rect().contains(event->position().toPoint()));
}

void CTransparentButton::enterEvent(QEnterEvent* event) {
  QAbstractButton::enterEvent(event);
  SetInside(true);
}

void CTransparentButton::leaveEvent(QEvent* event) {
  QAbstractButton::leaveEvent(event);
  SetInside(false);
}

// --- CSettingButton -----------------------------------------------------------------------

CSettingButton::CSettingButton(QWidget* parent) : QAbstractButton(parent) {
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::NoFocus);
}

void CSettingButton::SetButtonFont(const QFont& font) { setFont(font); }

void CSettingButton::SetButtonText(const QString& text) {
  m_text = text;
  setAccessibleName(text);
  update();
}

void CSettingButton::SetTransparent(bool transparent) {
  m_transparent = transparent;
  update();
}

void CSettingButton::SetBackgroundPicture(int id) {
  m_background = id;
  update();
}

void CSettingButton::SetIconPicture(int id) {
  m_icon = id;
  update();
}

skin::TabLayout CSettingButton::Layout() const {
  QPixmap icon = LoadPngResource(m_icon);
  return skin::SettingTabLayout(size(), icon.isNull() ? QSize(0, 0) : icon.size(),
                                fontMetrics().horizontalAdvance(m_text));
}

void CSettingButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!m_transparent) {
    QPixmap background = LoadPngResource(m_background);
    if (!background.isNull()) painter.drawPixmap(0, 0, background);
  }
  QPixmap icon = LoadPngResource(m_icon);
  skin::TabLayout layout = skin::SettingTabLayout(
      size(), icon.isNull() ? QSize(0, 0) : icon.size(), fontMetrics().horizontalAdvance(m_text));
  if (!icon.isNull()) painter.drawPixmap(layout.icon, icon);
  painter.setFont(font());
  painter.setPen(QColor::fromRgba(skin::SettingTabTextColor(m_inside)));
  painter.drawText(QRect(layout.textX, 0, width(), height()),
                   Qt::AlignLeft | Qt::AlignVCenter | kSingleLine, m_text);
}

void CSettingButton::SetInside(bool inside) {
  if (inside == m_inside) return;
  m_inside = inside;
  update();
}

void CSettingButton::mouseMoveEvent(QMouseEvent* event) {
  QAbstractButton::mouseMoveEvent(event);
  SetInside(rect().contains(event->position().toPoint()));
}

void CSettingButton::enterEvent(QEnterEvent* event) {
  QAbstractButton::enterEvent(event);
  SetInside(true);
}

void CSettingButton::leaveEvent(QEvent* event) {
  QAbstractButton::leaveEvent(event);
  SetInside(false);
}

}  // namespace tray
