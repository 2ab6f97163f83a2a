#include "login_dlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

#include <algorithm>
#include <cmath>

#include "diy_static.h"
#include "language_font.h"
#include "shell.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "skin_rules.h"
#include "message_box.h"

namespace tray {
namespace {

constexpr int kFace = 232;
constexpr int kLoginNormal = 379, kLoginHover = 380;
constexpr QRgb kLinkColor = 0xFF0C5BAD;
constexpr QRgb kButtonText = 0xFF343434;
constexpr QRgb kRememberText = 0xFF787878;
constexpr QRgb kLabelText = 0xFF323232;
constexpr QRgb kPlaceholderText = 0xFFA0A0A0;  // the placeholders alone are grey
constexpr QRgb kEditText = 0xFF202020;

// A field's text in the normal colour, or grey while it shows its placeholder.
void SetFieldColor(QLineEdit* edit, bool placeholder) {
  const QColor wanted = QColor::fromRgba(placeholder ? kPlaceholderText : kEditText);
  if (edit->palette().color(QPalette::Text) == wanted) return;
  QPalette pal = edit->palette();
  pal.setColor(QPalette::Text, wanted);
  edit->setPalette(pal);
}
const QSize kTemplateSize(skin::DialogUnits(248), skin::DialogUnits(140));

QRect Units(int x, int y, int w, int h) {
  return QRect(skin::DialogUnits(x), skin::DialogUnits(y), skin::DialogUnits(w),
               skin::DialogUnits(h));
}

std::string Std(const QString& s) { return s.toStdString(); }

}  // namespace

// ---- CLoginLink

CLoginLink::CLoginLink(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
}

void CLoginLink::SetLinkFont(const QFont& font) {
  QFont f = font;
  f.setUnderline(true);
  setFont(f);
  update();
}

void CLoginLink::paintEvent(QPaintEvent*) {
  // The face shows through: only the text is drawn.
  QPainter p(this);
  p.setFont(font());
  p.setPen(QColor::fromRgba(kLinkColor));
  p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
}

// ---- CLoginDlg

CLoginDlg::CLoginDlg(IShellOpen* shell, QWidget* parent)
    : CDiyDialog(kTemplate, parent), m_shell(shell), m_languages(GetLanguages()) {
  m_languages->AddListener(this);
  SetBackgroundImage(kFace);
  SetDecorationId(kTemplate);
  if (!ResizeToFace()) resize(kTemplateSize);
  setWindowIcon(QIcon(QStringLiteral(":/icon/128.png")));
  setAttribute(Qt::WA_ShowWithoutActivating, false);

  m_accountLabel = new CDiyStatic(this);
  m_accountLabel->setObjectName(QStringLiteral("1087"));
  m_accountLabel->setGeometry(Units(18, 35, 42, 14));
  m_account = new QLineEdit(this);
  m_account->setObjectName(QStringLiteral("1004"));
  m_account->setGeometry(Units(63, 37, 142, 12));
  m_passwordLabel = new CDiyStatic(this);
  m_passwordLabel->setObjectName(QStringLiteral("1088"));
  m_passwordLabel->setGeometry(Units(18, 61, 42, 14));
  m_password = new QLineEdit(this);
  m_password->setObjectName(QStringLiteral("1005"));
  m_password->setGeometry(Units(63, 62, 142, 12));
  m_remember = new CColorButton(this);
  m_remember->setObjectName(QStringLiteral("1008"));
  m_remember->SetKind(skin::kKindCheckBox);
  m_remember->setGeometry(Units(61, 81, 75, 12));
  m_forget = new CLoginLink(this);
  m_forget->setObjectName(QStringLiteral("1007"));
  m_forget->setGeometry(Units(163, 82, 66, 9));
  m_register = new CLoginLink(this);
  m_register->setObjectName(QStringLiteral("1063"));
  m_register->setGeometry(Units(33, 107, 92, 14));
  m_login = new CColorButton(this);
  m_login->setObjectName(QStringLiteral("1091"));
  m_login->SetKind(skin::kKindPush);
  m_login->SetPictures(kLoginNormal, kLoginHover, kLoginHover);
  m_login->SetTextColor(kButtonText);
  m_login->setAutoDefault(false);
  QPixmap loginPicture = LoadPngResource(kLoginNormal);
  m_login->setGeometry(QRect(Units(156, 105, 0, 0).topLeft(),
                             loginPicture.isNull() ? Units(0, 0, 52, 16).size()
                                                   : loginPicture.size()));
  m_remember->SetTextColor(kRememberText);

  for (QLineEdit* edit : {m_account, m_password}) {
    edit->setFrame(false);
    // The records hold 31 bytes and a zero; a longer password is refused, not cut.
    edit->setMaxLength(static_cast<int>(kMaxFieldBytes));
    QPalette pal = edit->palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Text, QColor::fromRgba(kEditText));
    edit->setPalette(pal);
    edit->installEventFilter(this);
  }
  m_password->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 9679; }"));
  for (CDiyStatic* label : {m_accountLabel, m_passwordLabel}) {
    label->SetTextColor(kLabelText);
    label->SetStringFormat({Qt::AlignRight, Qt::AlignBottom, true, true});
  }

  connect(m_account, &QLineEdit::textEdited, this, [this](const QString& text) {
    m_logic.AccountEdited(Std(text));
    // An emptied password field out of focus shows its placeholder again.
    if (!m_password->hasFocus()) m_logic.PasswordFocusOut();
    Sync();
  });
  connect(m_password, &QLineEdit::textEdited, this, [this](const QString& text) {
    m_logic.PasswordEdited(Std(text));
    Sync();
  });
  connect(m_remember, &QAbstractButton::toggled, this, [this](bool on) {
    if (!m_syncing) m_logic.SetRemember(on);
  });
  connect(m_login, &QAbstractButton::clicked, this, &CLoginDlg::DoLogin);
  for (CLoginLink* link : {m_forget, m_register}) {
    connect(link, &QAbstractButton::clicked, this, [this, link] {
      if (m_shell != nullptr && !link->Target().isEmpty()) m_shell->OpenUrl(link->Target());
    });
  }

  MakeFonts();
  LoadTexts();
  // As when the password field loses its focus: its placeholder shows.
  m_logic.AccountFocusOut();
  m_logic.PasswordFocusOut();
  Sync();
}

CLoginDlg::~CLoginDlg() {
  m_languages->RemoveListener(this);
  m_languages->Release();
}

QString CLoginDlg::Text(const char* section, const char* key) const {
  return m_languages->GetString(section, key);
}

void CLoginDlg::MakeFonts() {
  const int dpi = logicalDpiY();
  QFont edit = font(), label = font(), check = font(), button = font(), forget = font(),
        reg = font();
  SetLanguageFont(edit, "FONT_UI_LOGIN_EDIT", false, dpi);
  SetLanguageFont(label, "FONT_LOGIN_STATIC", false, dpi);
  SetLanguageFont(check, "FONT_LOGIN_STATIC1", false, dpi);
  SetLanguageFont(button, "FONT_LOGIN_LOGIN", false, dpi);
  SetLanguageFont(forget, "FONT_LOGIN_FORGETPW", true, dpi);
  SetLanguageFont(reg, "FONT_LOGIN_REGISTER", true, dpi);
  m_account->setFont(edit);
  m_password->setFont(edit);
  m_accountLabel->SetStaticFont(label);
  m_passwordLabel->SetStaticFont(label);
  m_remember->SetButtonFont(check);
  m_login->SetButtonFont(button);
  m_forget->SetLinkFont(forget);
  m_register->SetLinkFont(reg);
  // A link is at least a line of its font high, about the template's middle.
  for (auto [link, place] : {std::pair{m_forget, Units(163, 82, 66, 9)}, std::pair{m_register, Units(33, 107, 92, 14)}}) {
    const int height = std::max(place.height(), static_cast<int>(std::ceil(QFontMetricsF(link->font()).height())));
    link->setGeometry(place.x(), place.center().y() + 1 - height / 2, place.width(), height);
  }
}

void CLoginDlg::LoadTexts() {
  // Without language tables the texts stay empty until the language changes: a paint
  // never reads the store's files again.
  m_textsLoaded = true;
  MakeFonts();
  m_accountLabel->setText(Text("UI", "LOGIN_STATIC_ACCOUNT"));
  m_passwordLabel->setText(Text("UI", "LOGIN_STATIC_PASSWORD"));
  m_register->setToolTip(Text("TOOLTIP", "TOOTIP_REGACCOUT"));
  m_register->SetTarget(Text("URL", "URL_REGACCOUT"));
  m_register->setText(Text("UI", "LOGIN_LINK_REGISTER"));
  m_forget->setToolTip(Text("TOOLTIP", "TOOTIP_FORGETPW"));
  m_forget->SetTarget(Text("URL", "URL_FORGETPW"));
  m_forget->setText(Text("UI", "LOGIN_LINK_FORGETPW"));
  m_login->SetButtonText(Text("UI", "LOGIN_BUTTON_LOGIN"));
  m_remember->SetButtonText(Text("UI", "LOGIN_CHECKBOX_REMEMBERPW"));
  // The box grows with its text up to the forgot-password link.
  const int glyph = style()->pixelMetric(QStyle::PM_IndicatorWidth) + 8;
  const int wanted = QFontMetrics(m_remember->font()).horizontalAdvance(m_remember->ButtonText()) + glyph;
  m_remember->resize(std::clamp(wanted, skin::DialogUnits(75), skin::DialogUnits(100)),
                     m_remember->height());
  m_logic.SetPlaceholders(m_languages->GetStringA("UI", "LOGIN_EDIT_ACCOUNT"),
                          m_languages->GetStringA("UI", "LOGIN_EDIT_PASSWORD"));
  Sync();
  update();
}

void CLoginDlg::OnLanguageChanged() {
  m_textsLoaded = false;
  update();
}

void CLoginDlg::paintEvent(QPaintEvent* event) {
  if (!m_textsLoaded) LoadTexts();
  CDiyDialog::paintEvent(event);
}

void CLoginDlg::Sync() {
  m_syncing = true;
  const QString account = QString::fromStdString(m_logic.Account());
  const QString password = QString::fromStdString(m_logic.Password());
  if (m_account->text() != account) m_account->setText(account);
  m_password->setEchoMode(m_logic.PasswordStyle() ? QLineEdit::Password : QLineEdit::Normal);
  if (m_password->text() != password) m_password->setText(password);
  m_remember->setChecked(m_logic.Remember());
  SetFieldColor(m_account, m_logic.AccountIsPlaceholder());
  SetFieldColor(m_password, m_logic.PasswordIsPlaceholder());
  m_syncing = false;
}

bool CLoginDlg::eventFilter(QObject* watched, QEvent* event) {
  const bool in = event->type() == QEvent::FocusIn;
  const bool out = event->type() == QEvent::FocusOut;
  if ((in || out) && (watched == m_account || watched == m_password)) {
    if (watched == m_account) {
      in ? m_logic.AccountFocusIn() : m_logic.AccountFocusOut();
    } else {
      in ? m_logic.PasswordFocusIn() : m_logic.PasswordFocusOut();
    }
    Sync();
  }
  return CDiyDialog::eventFilter(watched, event);
}

bool CLoginDlg::event(QEvent* event) {
  if (event->type() == AutoLoginEvent::kType) {
    OnAutoLogin(static_cast<AutoLoginEvent*>(event)->Record());
    return true;
  }
  return CDiyDialog::event(event);
}

void CLoginDlg::keyPressEvent(QKeyEvent* event) {
  // The fields pass Enter on to the window: one login per press, from any control.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    DoLogin();
    event->accept();
    return;
  }
  CDiyDialog::keyPressEvent(event);
}

void CLoginDlg::showEvent(QShowEvent* event) {
  CDiyDialog::showEvent(event);
  m_logic.Shown();
  Sync();
}

void CLoginDlg::hideEvent(QHideEvent* event) {
  CDiyDialog::hideEvent(event);
  m_logic.Shown();
  Sync();
}

void CLoginDlg::closeEvent(QCloseEvent* event) {
  event->ignore();
  hide();
}

void CLoginDlg::SetSavedLogin(const LoginInfo& record) {
  m_logic.SetSavedLogin(record);
  Sync();
}

void CLoginDlg::OnEnSetfocusPassword() {
  m_logic.PasswordFocusIn();
  Sync();
}

void CLoginDlg::OnAutoLogin(const LoginInfo& record) {
  m_logic.Fill(record);
  Sync();
  DoLogin();
}

void CLoginDlg::ShowMessage(const char* key) {
  const QString text = Text("MESSAGEBOX", key);
  if (m_message) {
    m_message(text);
  } else {
    ShowDiyMessageBox(m_languages, text, windowTitle(), skin::kMessageBoxOk);
  }
}

void CLoginDlg::Balloon(QLineEdit* edit, const QString& text) {
  m_lastBalloon = text;
  m_lastBalloonField = edit->objectName();
  QToolTip::showText(edit->mapToGlobal(QPoint(edit->width() / 4, edit->height())), text, edit);
}

void CLoginDlg::DoLogin() {
  switch (m_logic.DoLogin()) {
    case LoginLogic::Outcome::NoAccount:
      ShowMessage("MSGBOX_NOACCOUNT");
      return;
    case LoginLogic::Outcome::NoPassword:
      ShowMessage("MSGBOX_NOPASSWORD");
      return;
    case LoginLogic::Outcome::BadEmail:
      Balloon(m_account, Text("UI", "REGACCOUNT_INFO_INVALIDEMAIL"));
      return;
    case LoginLogic::Outcome::BadPassword:
      Balloon(m_password, Text("UI", "REGACCOUNT_INFO_INVALIDPASS"));
      return;
    case LoginLogic::Outcome::LogOn: {
      hide();
      LoginInfo record = m_logic.Record();
      if (m_callback != nullptr) m_callback->OnLogOn(&record, 1);
      return;
    }
    case LoginLogic::Outcome::ReLogOn:
      hide();
      if (m_callback != nullptr) m_callback->ReLogOn();
      return;
  }
}

}  // namespace tray
