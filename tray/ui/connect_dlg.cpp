#include "connect_dlg.h"

#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QPainter>

#include "diy_static.h"
#include "language_font.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "skin_rules.h"

namespace tray {

namespace {

constexpr int kWidth = 353, kHeight = 251;
constexpr int kButtonNormal = 384, kButtonHover = 385;

template <typename T>
T* Control(QWidget* parent, const char* id, QRect rect) {
  auto* w = new T(parent);
  w->setObjectName(QString::fromLatin1(id));
  w->setGeometry(rect);
  return w;
}

QString FieldText(const char* field, size_t size) {
  return QString::fromUtf8(field, static_cast<qsizetype>(qstrnlen(field, size)));
}

}  // namespace

CConnectDlg::CConnectDlg(const DeviceLoginInfo& info, int refuseAge, QWidget* parent)
    : CDiyDialog(kConnectDlgTemplate, parent), m_info(info), m_refuseAge(refuseAge) {
  SetBackgroundImage(kConnectDlgFace);
  SetShowMinimize(false);
  SetPageTop(CaptionHeight());
  setWindowIcon(QIcon(LoadPngResource(128)));
  setFixedSize(kWidth, kHeight);

  m_title = Control<CDiyStatic>(this, "1103", QRect(20, 42, kWidth - 40, 24));
  m_sender = Control<CDiyStatic>(this, "1104", QRect(36, 80, kWidth - 72, 20));
  m_network = Control<CDiyStatic>(this, "1105", QRect(36, 104, kWidth - 72, 20));
  m_other = Control<CDiyStatic>(this, "1106", QRect(20, 134, kWidth - 40, 44));
  const QPixmap face = LoadPngResource(kButtonNormal);
  const QSize button = face.isNull() ? QSize(89, 30) : face.size();
  const int gap = 24, top = kHeight - button.height() - 24;
  const int left = (kWidth - 2 * button.width() - gap) / 2;
  m_ok = Control<CColorButton>(this, "1", QRect(QPoint(left, top), button));
  m_cancel = Control<CColorButton>(this, "2", QRect(QPoint(left + button.width() + gap, top), button));
  m_ok->setDefault(true);
  m_ok->setAutoDefault(true);
  connect(m_ok, &QAbstractButton::clicked, this, [this] { Answer(true); });
  connect(m_cancel, &QAbstractButton::clicked, this, [this] { Answer(false); });
}

CConnectDlg::~CConnectDlg() = default;

void CConnectDlg::OnInitDialog() {
  if (m_initialised) return;
  m_initialised = true;
  const int dpi = logicalDpiY();
  m_titleFont = m_infoFont = m_otherFont = m_buttonFont = font();
  SetLanguageFont(m_titleFont, "FONT_CONNECT_TITLE", false, dpi);
  SetLanguageFont(m_infoFont, "FONT_CONNECT_INFO", false, dpi);
  SetLanguageFont(m_otherFont, "FONT_CONNECT_OTHER", false, dpi);
  SetLanguageFont(m_buttonFont, "FONT_CONNECT_BUTTON", false, dpi);

  const StringFormat centred{Qt::AlignHCenter, Qt::AlignVCenter, true, true};
  const StringFormat near{};
  struct Row {
    CDiyStatic* label;
    const QFont* font;
    QRgb color;
    StringFormat format;
  };
  for (const Row& row : {Row{m_title, &m_titleFont, 0xFF0F92E5, centred}, Row{m_sender, &m_infoFont, 0xFF0F92E5, near},
                         Row{m_network, &m_infoFont, 0xFF0F92E5, near},
                         // The note may be longer than a line: it wraps rather than being cut.
                         Row{m_other, &m_otherFont, 0xFF555555, StringFormat{Qt::AlignHCenter, Qt::AlignVCenter, false, true}}}) {
    row.label->SetStaticFont(*row.font);
    row.label->SetTextColor(row.color);
    row.label->SetStringFormat(row.format);
  }
  for (CColorButton* b : {m_ok, m_cancel}) {
    b->SetPictures(kButtonNormal, kButtonHover, kButtonHover);
    b->SetButtonFont(m_buttonFont);
    b->SetTextColor(0xFF000000);
  }
}

void CConnectDlg::LoadTexts() {
  m_textsLoaded = true;
  auto ui = [this](const char* key) { return m_languages->GetString("UI", key); };
  m_title->setText(ui("CONNECT_STATIC_TITLE"));
  m_sender->setText(ui("CONNECT_STATIC_SENDER") + FieldText(m_info.sender, sizeof m_info.sender));
  m_network->setText(ui("CONNECT_STATIC_NET") + FieldText(m_info.network, sizeof m_info.network));
  m_other->setText(ui("CONNECT_STATIC_OTHER"));
  m_ok->SetButtonText(ui("CONNECT_BUTTON_OK"));
  m_cancel->SetButtonText(ui("CONNECT_BUTTON_CANCEL"));
  SetTitleText(ui("DIALOG_TITLE"));
  update();
}

void CConnectDlg::Tick() {
  if (m_answered) return;
  if (static_cast<int>(++m_info.spare) >= m_refuseAge) {
    qInfo("device login %u not answered in time: refused", m_info.id);
    Answer(false);
  }
}

int CConnectDlg::exec() {
  OnInitDialog();
  if (m_answered) return skin::kResultCancel;
  return CDiyDialog::exec();
}

void CConnectDlg::Answer(bool accepted) {
  if (m_answered) return;  // one answer per question; the first way out decides
  m_answered = true;
  if (m_callback) {
    ConnectResult result{m_info.id, static_cast<uint8_t>(accepted ? 1 : 0)};
    m_callback->OnConnectResult(&result);
  }
  done(accepted ? skin::kResultOk : skin::kResultCancel);
}

void CConnectDlg::paintEvent(QPaintEvent* event) {
  OnInitDialog();
  if (!m_textsLoaded) LoadTexts();
  CDiyDialog::paintEvent(event);
}

void CConnectDlg::closeEvent(QCloseEvent* event) {
  if (!m_answered) Answer(false);
  event->accept();
}

void CConnectDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      Answer(true);
      break;
    case Qt::Key_Escape:
      Answer(false);
      break;
    default:
      CDiyDialog::keyPressEvent(event);
  }
}

}  // namespace tray
