#include "diy_dialog.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "languages.h"
#include "skin_buttons.h"
#include "skin_pictures.h"

namespace tray {

CDiyDialog::CDiyDialog(int templateId, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), m_templateId(templateId) {
  setObjectName(QString::number(templateId));
  setWindowTitle(m_titleText);
  m_closeButton = new CTransparentButton(this);
  m_closeButton->setObjectName(QString::number(skin::kCloseButtonId));
  m_closeButton->SetPictures(skin::kCloseNormal, skin::kCloseHover);
  m_minimizeButton = new CTransparentButton(this);
  m_minimizeButton->setObjectName(QString::number(skin::kMinimizeButtonId));
  m_minimizeButton->SetPictures(skin::kMinimizeNormal, skin::kMinimizeHover);
  // Both act once the click has been handled, as a posted message would.
  connect(m_closeButton, &QAbstractButton::clicked, this,
          [this] { QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); });
  connect(m_minimizeButton, &QAbstractButton::clicked, this, [this] {
    QMetaObject::invokeMethod(this, [this] { Minimize(); }, Qt::QueuedConnection);
  });
  PlaceTitleButtons();
}

CDiyDialog::~CDiyDialog() = default;

void CDiyDialog::SetBackgroundImage(int pictureId) {
  m_backgroundImage = pictureId;
  update();
}

bool CDiyDialog::ResizeToFace() {
  QPixmap face = LoadPngResource(m_backgroundImage);
  if (face.isNull()) return false;
  resize(face.size());
  return true;
}

void CDiyDialog::SetTitleText(const QString& title) {
  m_titleText = title;
  setWindowTitle(title);
}

void CDiyDialog::SetPage(int page) {
  m_page = page;
  update();
}

void CDiyDialog::SetShowMinimize(bool show) {
  m_showMinimize = show;
  m_minimizeButton->setVisible(show);
}

void CDiyDialog::SetDrawLogo(bool draw) {
  m_drawLogo = draw;
  update();
}

void CDiyDialog::SetDecorationId(int id) {
  m_decorationId = id;
  update();
}

void CDiyDialog::SetCornerRadius(int ellipse) {
  m_cornerRadius = ellipse;
  setMask(skin::RoundedRegion(size(), m_cornerRadius));
}

void CDiyDialog::Minimize() { showMinimized(); }

bool CDiyDialog::StartSystemMove() {
  QWindow* window = windowHandle();
  return window && window->startSystemMove();
}

void CDiyDialog::PlaceTitleButtons() {
  m_closeButton->setGeometry(skin::CloseButtonRect(width()));
  m_minimizeButton->setGeometry(skin::MinimizeButtonRect(width()));
  m_minimizeButton->setVisible(m_showMinimize);
}

void CDiyDialog::PaintFace(QPainter& painter) {
  {
    LanguagesRef store;
    if (store.get()) m_logoImage = skin::LogoForLanguage(store->GetLanguage(), m_logoImage);
  }
  QPixmap face = LoadPngResource(m_backgroundImage);
  // Whatever the face does not cover gets the neutral colour, so nothing stays undrawn.
  if (face.isNull() || face.width() < width() || face.height() < height())
    painter.fillRect(rect(), QColor::fromRgba(skin::kNeutralFace));
  if (!face.isNull()) painter.drawPixmap(0, 0, face);
  for (const skin::Decoration& decoration : skin::DecorationsFor(m_decorationId, m_page)) {
    QPixmap picture = LoadPngResource(decoration.picture);
    if (!picture.isNull()) painter.drawPixmap(decoration.at, picture);
  }
  if (m_logoImage != 0 && m_drawLogo) {
    QPixmap logo = LoadPngResource(m_logoImage);
    if (!logo.isNull()) painter.drawPixmap(skin::kLogoAt, logo);
  }
}

void CDiyDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintFace(painter);
}

void CDiyDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  setMask(skin::RoundedRegion(size(), m_cornerRadius));
  PlaceTitleButtons();
}

void CDiyDialog::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton &&
      skin::IsCaptionPoint(event->position().toPoint(), size(), m_captionHeight)) {
    event->accept();
    if (StartSystemMove()) return;
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    return;
  }
  QDialog::mousePressEvent(event);
}

void CDiyDialog::mouseMoveEvent(QMouseEvent* event) {
  if (m_dragging && (event->buttons() & Qt::LeftButton)) {
    move(event->globalPosition().toPoint() - m_dragOffset);
    event->accept();
    return;
  }
  QDialog::mouseMoveEvent(event);
}

void CDiyDialog::mouseReleaseEvent(QMouseEvent* event) {
  if (m_dragging && event->button() == Qt::LeftButton) {
    m_dragging = false;
    event->accept();
    return;
  }
  QDialog::mouseReleaseEvent(event);
}

}  // namespace tray
