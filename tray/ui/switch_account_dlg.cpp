#include "switch_account_dlg.h"

#include <QPainter>

#include "diy_static.h"
#include "language_font.h"
#include "languages.h"
#include "skin_buttons.h"
#include "skin_pictures.h"

namespace tray {

CSwitchAccountDlg::CSwitchAccountDlg(QWidget* parent) : CDiyDialog(kTemplate, parent) {
  SetBackgroundImage(263);
  SetShowMinimize(false);
  setFixedSize(355, 197);
  LanguagesRef store;
  SetTitleText(store->GetString("UI", "DIALOG_TITLE"));

  QFont buttonFont = font(), textFont = font();
  SetLanguageFont(buttonFont, "FONT_MESSAGEBOX_BUTTON", false, logicalDpiY());
  SetLanguageFont(textFont, "FONT_SWITCH_STATIC", false, logicalDpiY());

  m_text = new CDiyStatic(this);
  m_text->setObjectName(QStringLiteral("1111"));
  m_text->SetStaticFont(textFont);
  m_text->SetTextColor(0xFF000000);
  StringFormat format;
  format.noWrap = false;  // a long question wraps rather than being cut
  m_text->SetStringFormat(format);
  m_text->setText(store->GetString("MESSAGEBOX", "MSGBOX_LOGIOUTUSER"));
  m_text->setGeometry(76, 62, 255, 80);

  auto makeButton = [&](const char* id, const char* key, int x) {
    auto* b = new CColorButton(this);
    b->setObjectName(QString::fromLatin1(id));
    b->SetPictures(334, 335, 335, 334);
    b->SetTextColor(0xFF434343);
    b->SetButtonFont(buttonFont);
    b->SetButtonText(store->GetString("UI", key));
    b->setGeometry(x, 155, 89, 30);
    return b;
  };
  m_ok = makeButton("1112", "MSGBOX_BUTTON_OK", 67);
  m_cancel = makeButton("1113", "MSGBOX_BUTTON_CANCEL", 199);
  m_ok->setDefault(true);
  connect(m_ok, &QAbstractButton::clicked, this, &QDialog::accept);
  connect(m_cancel, &QAbstractButton::clicked, this, &QDialog::reject);
}

void CSwitchAccountDlg::paintEvent(QPaintEvent* event) {
  CDiyDialog::paintEvent(event);
  QPainter painter(this);
  painter.drawPixmap(QPoint(30, 62), LoadPngResource(266));  // the question's sign
}

}  // namespace tray
