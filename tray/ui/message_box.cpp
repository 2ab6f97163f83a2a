#include "message_box.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>

#include "diy_static.h"
#include "language_font.h"
#include "languages.h"
#include "skin_buttons.h"
#include "skin_pictures.h"

namespace tray {
namespace {

constexpr int kIdOk = 1, kIdCancel = 2;
const QSize kTemplateSize(skin::DialogUnits(203), skin::DialogUnits(113));
const int kLabelWidth = skin::DialogUnits(177);
// The size of the button pictures where they are missing.
const QSize kButtonSize(89, 30);

CColorButton* MakeButton(QWidget* parent, int id) {
  auto* button = new CColorButton(parent);
  button->setObjectName(QString::number(id));
  button->hide();
  return button;
}

}  // namespace

CDiyMessageBox::CDiyMessageBox(ILanguages* languages, const QString& message,
                               const QString& title, int type, QWidget* parent)
    : CDiyDialog(skin::kMessageBoxTemplate, parent),
      m_languages(languages),
      m_message(message),
      m_type(type) {
  if (m_languages) m_languages->AddRef();
  SetBackgroundImage(skin::kMessageBoxFace);
  SetShowMinimize(false);
  SetPageTop(CaptionHeight());
  if (!ResizeToFace()) resize(kTemplateSize);

  m_yes = MakeButton(this, skin::kMessageYesId);
  m_cancel = MakeButton(this, kIdCancel);
  m_ok = MakeButton(this, kIdOk);
  m_no = MakeButton(this, skin::kMessageNoId);
  m_label = new CDiyStatic(this);
  m_label->setObjectName(QString::number(skin::kMessageLabelId));
  connect(m_ok, &QAbstractButton::clicked, this, &CDiyMessageBox::accept);
  connect(m_cancel, &QAbstractButton::clicked, this, &CDiyMessageBox::reject);
  SetTitleText(title);
  Arrange();
}

CDiyMessageBox::~CDiyMessageBox() {
  if (m_languages) m_languages->Release();
}

void CDiyMessageBox::Arrange() {
  QFont font = this->font();
  SetLanguageFont(font, "FONT_MESSAGEBOX_BUTTON", false, logicalDpiY());

  // The message wraps inside the label, and the label is as tall as the wrapped lines.
  m_label->setText(m_message);
  m_label->SetStaticFont(font);
  m_label->SetTextColor(0xFF000000);
  m_label->SetStringFormat({Qt::AlignHCenter, Qt::AlignVCenter, false, true});
  const int lines = LaidOutLines(m_message, font, kLabelWidth, false);
  m_label->setGeometry(skin::MessageLabelRect(kLabelWidth, lines, QFontMetrics(font).height()));
  m_label->show();

  QPixmap picture = LoadPngResource(skin::kMessageButtonNormal);
  const QSize buttonSize = picture.isNull() ? kButtonSize : picture.size();
  const skin::MessageBoxButtons layout =
      skin::MessageBoxButtonsFor(m_type, width(), buttonSize.width());
  auto place = [&](CColorButton* button, bool shown, const char* key, int x) {
    if (!shown) return;
    button->SetPictures(skin::kMessageButtonNormal, skin::kMessageButtonHover,
                        skin::kMessageButtonPressed);
    button->SetTextColor(skin::kMessageButtonText);
    button->SetButtonFont(font);
    button->SetButtonText(m_languages ? m_languages->GetString("UI", key) : QString());
    button->setGeometry(QRect(QPoint(x, skin::kMessageButtonY), buttonSize));
    button->show();
  };
  place(m_ok, layout.okShown, layout.okKey, layout.okX);
  place(m_cancel, layout.cancelShown, layout.cancelKey, layout.cancelX);
  m_ok->setDefault(true);
  m_ok->setFocus();
}

void CDiyMessageBox::SetDetails(const QStringList& lines) {
  for (QLineEdit* e : m_details) delete e;
  m_details.clear();
  if (lines.isEmpty()) {
    Arrange();
    return;
  }
  QFont font = this->font();
  SetLanguageFont(font, "FONT_MESSAGEBOX_BUTTON", false, logicalDpiY());
  const int lineHeight = QFontMetrics(font).height();
  const int fieldHeight = lineHeight + 6;
  // The fields stand above the footer; the message is centred in the room left above them.
  int y = skin::kMessageFooterY - 6 - static_cast<int>(lines.size()) * (fieldHeight + 3) + 3;
  const int fieldsTop = y;
  for (const QString& line : lines) {
    auto* field = new QLineEdit(this);
    field->setObjectName(QStringLiteral("detail%1").arg(m_details.size()));
    field->setReadOnly(true);
    field->setFont(font);
    field->setText(line);
    field->setCursorPosition(0);
    field->setToolTip(line);
    field->setFocusPolicy(Qt::ClickFocus);
    QPalette pal = field->palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    field->setPalette(pal);
    field->setGeometry(skin::kMessageLabelX, y, kLabelWidth, fieldHeight);
    field->show();
    m_details.push_back(field);
    y += fieldHeight + 3;
  }
  const int lines2 = LaidOutLines(m_message, font, kLabelWidth, false);
  const int room = fieldsTop - 4 - CaptionHeight();
  const int height = std::min(std::max(1, lines2) * (lineHeight + 1), std::max(lineHeight, room));
  m_label->setGeometry(skin::kMessageLabelX, CaptionHeight() + std::max(0, (room - height) / 2), kLabelWidth, height);
  m_ok->setFocus();
}

void CDiyMessageBox::accept() { done(skin::kResultOk); }

void CDiyMessageBox::reject() { done(skin::kResultCancel); }

void CDiyMessageBox::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      event->modifiers() == Qt::NoModifier) {
    // Enter presses the focused button, else it is OK, shown or not.
    if (auto* button = qobject_cast<CColorButton*>(focusWidget());
        button && button->isVisible()) {
      button->click();
    } else {
      accept();
    }
    event->accept();
    return;
  }
  CDiyDialog::keyPressEvent(event);
}

int ShowDiyMessageBox(ILanguages* languages, const QString& message, const QString& title,
                      int type, const QStringList& details) {
  CDiyMessageBox box(languages, message, title, type);
  if (!details.isEmpty()) box.SetDetails(details);
  int result = box.exec();
  return result == skin::kResultOk ? skin::kResultOk : skin::kResultCancel;
}

}  // namespace tray
