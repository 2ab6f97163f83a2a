// The skinned buttons: picture push buttons, picture radio/check buttons and check boxes
// (CColorButton), the title-bar buttons (CTransparentButton) and the settings dialog's tab
// buttons (CSettingButton). They paint over their parent's face: nothing of their own is
// erased first. Owners set pictures, colours, fonts and texts and the widget repaints.
#pragma once

#include <QAbstractButton>
#include <QFont>
#include <QPushButton>
#include <QRgb>
#include <QString>

#include "skin_rules.h"

class QPainter;

namespace tray {

// A button that keeps its own pressed flag (set by a left press, cleared by its release)
// and whether the cursor is inside it, so a press dragged off shows the hover picture.
class CColorButton : public QPushButton {
  Q_OBJECT

 public:
  explicit CColorButton(QWidget* parent = nullptr);

  // 1 picture push button, 2 picture radio/check button, 3 check box with the style's
  // glyph; kinds 2 and 3 are checkable and never the dialog's default button.
  void SetKind(int kind);
  int Kind() const { return m_kind; }
  // Pictures of kind 1 (0: none).
  void SetPictures(int normal, int hover, int pressed, int disabled = 0);
  const skin::ButtonPictures& Pictures() const { return m_pictures; }
  void SetTextColor(QRgb argb);
  QRgb TextColor() const { return m_textColor; }
  void SetButtonFont(const QFont& font);
  // Stores the text drawn by the control; a kind-3 box puts one blank before it.
  void SetButtonText(const QString& text);
  QString ButtonText() const { return m_text; }

  bool IsPressed() const { return m_pressed; }
  bool IsInside() const { return m_inside; }
  // The picture the control draws now (kind 1: by state; kind 2: the mark).
  int CurrentPicture() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void PaintPush(QPainter& painter);
  void PaintMark(QPainter& painter);
  void PaintCheckBox(QPainter& painter);
  void SetInside(bool inside);

  QRgb m_textColor = 0x00FFFFFF;  // transparent: owners always set it
  bool m_pressed = false;
  bool m_inside = false;
  QString m_text;
  int m_kind = skin::kKindPush;
  skin::ButtonPictures m_pictures;
};

// A picture centred on the control: normal, hover while the cursor is inside, disabled.
class CTransparentButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CTransparentButton(QWidget* parent = nullptr);
  void SetPictures(int normal, int hover, int disabled = 0);
  const skin::ButtonPictures& Pictures() const { return m_pictures; }
  bool IsInside() const { return m_inside; }
  int CurrentPicture() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void SetInside(bool inside);
  skin::ButtonPictures m_pictures;
  bool m_inside = false;
};

// A tab button: background picture (or the parent's face when transparent), an icon and
// the text centred as one group; the text turns black while the cursor is inside.
class CSettingButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CSettingButton(QWidget* parent = nullptr);
  void SetButtonFont(const QFont& font);
  void SetButtonText(const QString& text);
  QString ButtonText() const { return m_text; }
  void SetTransparent(bool transparent);
  bool Transparent() const { return m_transparent; }
  void SetBackgroundPicture(int id);
  int BackgroundPicture() const { return m_background; }
  void SetIconPicture(int id);
  int IconPicture() const { return m_icon; }
  bool IsInside() const { return m_inside; }
  // Where the icon and the text go for the current text and font.
  skin::TabLayout Layout() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void SetInside(bool inside);
  QString m_text;
  bool m_transparent = false;
  int m_background = 0;
  int m_icon = 0;
  bool m_inside = false;
};

}  // namespace tray
