// CDiyDialog, the base of every skinned dialog: a frameless window whose face is a picture
// of the skin, with rounded corners, the language's logo at the top left, a close button
// (1093) and an optional minimise button (1128) at the top right, and a drag strip along
// the top edge. Derived dialogs configure it in their constructors and paint their own
// page over the face (override paintEvent and call this one first).
#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>

#include "skin_rules.h"

class QPainter;

namespace tray {

class CTransparentButton;

class CDiyDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CDiyDialog(int templateId, QWidget* parent = nullptr);
  ~CDiyDialog() override;

  int TemplateId() const { return m_templateId; }

  // The face picture (0: none, drawn as a neutral fill).
  void SetBackgroundImage(int pictureId);
  int BackgroundImage() const { return m_backgroundImage; }
  // Resizes the window to the face picture's natural size; false (size unchanged) when the
  // face does not load.
  bool ResizeToFace();
  void SetCaptionHeight(int height) { m_captionHeight = height; }
  int CaptionHeight() const { return m_captionHeight; }
  // Where the derived dialog's page starts; the base does not use it.
  void SetPageTop(int top) { m_pageTop = top; }
  int PageTop() const { return m_pageTop; }
  // The dialog's title (the window's title too); the face draws no title.
  void SetTitleText(const QString& title);
  QString TitleText() const { return m_titleText; }
  // The derived dialog's current page; decorations depend on it.
  void SetPage(int page);
  int Page() const { return m_page; }
  void SetShowMinimize(bool show);
  bool ShowMinimize() const { return m_showMinimize; }
  void SetDrawLogo(bool draw);
  bool DrawLogo() const { return m_drawLogo; }
  void SetDecorationId(int id);
  int DecorationId() const { return m_decorationId; }
  // Width and height of the ellipse that rounds the corners.
  void SetCornerRadius(int ellipse);
  int CornerRadius() const { return m_cornerRadius; }
  // The logo drawn by the last paint (follows the language at every paint; 0 before).
  int LogoImage() const { return m_logoImage; }

  CTransparentButton* CloseButton() const { return m_closeButton; }
  CTransparentButton* MinimizeButton() const { return m_minimizeButton; }

  // The minimise button's action: minimises the window (posted, like the close button's
  // close). Dialogs that must not minimise override it with an empty body.
  virtual void Minimize();

 protected:
  // Starts the window system's own move of the window; false where the platform has none,
  // and the dialog then follows the mouse itself.
  virtual bool StartSystemMove();
  // Draws the face, the decorations and the logo; paintEvent calls it.
  void PaintFace(QPainter& painter);

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void PlaceTitleButtons();

  const int m_templateId;
  int m_backgroundImage = 0;
  int m_captionHeight = skin::kCaptionHeight;
  int m_pageTop = skin::kCaptionHeight;
  QString m_titleText = QStringLiteral("Tirvan");
  int m_page = 0;
  bool m_showMinimize = true;
  int m_logoImage = 0;
  bool m_drawLogo = true;
  int m_decorationId = 0;
  int m_cornerRadius = skin::kCornerEllipse;
  CTransparentButton* m_closeButton = nullptr;
  CTransparentButton* m_minimizeButton = nullptr;
  // Our own move where the window system has none: the press's offset in the window.
  bool m_dragging = false;
  QPoint m_dragOffset;
};

}  // namespace tray
