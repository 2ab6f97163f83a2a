#include "update_dlg.h"

#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>

#include <algorithm>

#include "banner.h"
#include "diy_static.h"
#include "html_dlg.h"
#include "language_font.h"
#include "release_notes.h"
#include "settings_store.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "web_config.h"

namespace tray {

namespace {

QColor FromColorRef(unsigned colorRef) {  // 0x00BBGGRR
  return QColor(colorRef & 0xFF, (colorRef >> 8) & 0xFF, (colorRef >> 16) & 0xFF);
}

void Paint(QWidget* w, unsigned background, unsigned text) {
  QPalette p = w->palette();
  for (auto role : {QPalette::Window, QPalette::Base}) p.setColor(role, FromColorRef(background));
  for (auto role : {QPalette::WindowText, QPalette::Text}) p.setColor(role, FromColorRef(text));
  w->setPalette(p);
  w->setAutoFillBackground(true);
}

template <typename T>
T* Control(QWidget* parent, int id, QRect rect) {
  auto* w = new T(parent);
  w->setObjectName(QString::number(id));
  w->setGeometry(rect);
  return w;
}

// A picture button's size: its normal picture's, else the template's.
QRect PictureButtonRect(const QRect& templateRect, int normalPicture) {
  QPixmap p = LoadPngResource(normalPicture);
  return p.isNull() ? templateRect : QRect(templateRect.topLeft(), p.size());
}

}  // namespace

// ---- CUpdateDlg

CUpdateDlg::CUpdateDlg(QWidget* parent, long notesTimeoutMs)
    : CDiyDialog(kUpdateDlgTemplate, parent), m_notesTimeoutMs(notesTimeoutMs) {
  SetBackgroundImage(kUpdateDlgFace);
  SetPageTop(CaptionHeight());
  SetDecorationId(kUpdateDlgTemplate);
  if (!ResizeToFace()) resize(skin::DialogUnits(302), skin::DialogUnits(162));

  m_title = Control<QLabel>(this, 1114, skin::DialogUnitRect(26, 35, 121, 13));
  m_notesEdit = Control<QPlainTextEdit>(this, 1101, skin::DialogUnitRect(29, 51, 112, 67));
  m_notesEdit->setReadOnly(true);
  m_notesEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_notesEdit->setFrameShape(QFrame::NoFrame);
  m_note1 = Control<CDiyStatic>(this, 1117, skin::DialogUnitRect(27, 132, 183, 10));
  m_note2 = Control<CDiyStatic>(this, 1118, skin::DialogUnitRect(27, 143, 183, 10));
  m_ok = Control<CColorButton>(this, 1115, skin::DialogUnitRect(223, 134, 54, 19));
  connect(m_ok, &QAbstractButton::clicked, this, [this] { done(skin::kResultOk); });
}

bool CUpdateDlg::OnInitDialog() {
  const int dpi = logicalDpiY();
  m_labelFont = m_noteFont = m_buttonFont = font();
  SetLanguageFont(m_labelFont, "FONT_UPDATE_STATIC", false, dpi);
  SetLanguageFont(m_noteFont, "FONT_UPDATE_STATIC1", false, dpi);
  SetLanguageFont(m_buttonFont, "FONT_UPDATE_BUTTON", false, dpi);

  m_ok->SetPictures(278, 277, 276);
  m_ok->setGeometry(PictureButtonRect(m_ok->geometry(), 278));
  m_ok->SetTextColor(0xFFFFFFFF);
  m_ok->SetButtonFont(m_buttonFont);
  m_ok->SetButtonText(m_languages->GetString("UI", "MSGBOX_BUTTON_OK"));

  m_title->setFont(m_labelFont);
  m_title->setText(m_languages->GetString("UI", "UPDATE_STATIC1"));
  // A text longer than the template's label grows the label rather than being cut.
  const QRect titleRect = skin::DialogUnitRect(26, 35, 121, 13);
  m_title->resize(std::min(std::max(titleRect.width(), m_title->sizeHint().width()),
                           width() - titleRect.x()),
                  titleRect.height());
  Paint(m_title, 0xFDFDFD, 0x878787);
  Paint(m_notesEdit, 0xFCFCFC, 0x000000);
  for (auto [label, key] : {std::pair{m_note1, "UPDATE_STATIC3"}, std::pair{m_note2, "UPDATE_STATIC4"}}) {
    label->SetStaticFont(m_noteFont);
    label->SetTextColor(0xFF888888);
    label->setText(m_languages->GetString("UI", key));
  }

  std::optional<QString> notes = FetchReleaseNotes(m_languages->GetLanguage(), m_notesTimeoutMs);
  if (!notes) return false;
  m_notes = *notes;
  m_notesEdit->setPlainText(m_notes);
  return true;
}

int CUpdateDlg::exec() {
  if (!OnInitDialog()) {
    setResult(Rejected);
    return Rejected;  // nothing to show: closed at once
  }
  return CDiyDialog::exec();
}

// ---- CUpdateNoticeDlg

CUpdateNoticeDlg::CUpdateNoticeDlg(const QString& version, ISettingsStore* store, QWidget* parent)
    : CDiyDialog(kUpdateNoticeTemplate, parent),
      m_store(store ? store : &SettingsStore()),
      m_version(version) {
  m_languages->AddListener(this);
  SetBackgroundImage(kUpdateNoticeFace);
  SetPageTop(CaptionHeight() + kBannerHeight);  // the banner lies above the page
  SetDecorationId(kUpdateNoticeTemplate);
  if (!ResizeToFace()) resize(skin::DialogUnits(362), skin::DialogUnits(185));

  m_question = Control<QLabel>(this, 1045, skin::DialogUnitRect(0, 105, 361, 16));
  m_question->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  m_neverShow = Control<CColorButton>(this, 1043, skin::DialogUnitRect(148, 134, 192, 10));
  m_update = Control<CColorButton>(this, 1046, skin::DialogUnitRect(212, 159, 53, 16));
  m_cancel = Control<CColorButton>(this, 1047, skin::DialogUnitRect(282, 159, 53, 16));
  // Enter presses no button here: only a click, Escape or the close button (Later) ends
  // the question.
  for (CColorButton* b : {m_update, m_cancel, m_neverShow}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }
  connect(m_update, &QAbstractButton::clicked, this, &CUpdateNoticeDlg::OnBnClickedUpdate);
  connect(m_cancel, &QAbstractButton::clicked, this, &CUpdateNoticeDlg::OnBnClickedCancel);
}

CUpdateNoticeDlg::~CUpdateNoticeDlg() { m_languages->RemoveListener(this); }

void CUpdateNoticeDlg::OnInitDialog() {
  if (m_initialised) return;
  m_initialised = true;
  setWindowIcon(QIcon(QStringLiteral(":/icon/128.png")));
  const int dpi = logicalDpiY();
  m_labelFont = m_buttonFont = font();
  SetLanguageFont(m_labelFont, "FONT_UPDATE_STATIC", false, dpi);
  SetLanguageFont(m_buttonFont, "FONT_SETTING_BUTTON", false, dpi);
  m_question->setFont(m_labelFont);
  Paint(m_question, 0xF4F4F4, 0x000000);
  for (CColorButton* b : {m_update, m_cancel}) {
    b->SetPictures(219, 220, 221);
    b->setGeometry(PictureButtonRect(b->geometry(), 219));
    b->SetButtonFont(m_buttonFont);
    b->SetTextColor(0xFF000000);
  }
  m_neverShow->SetKind(skin::kKindCheckBox);
  m_neverShow->SetButtonFont(m_buttonFont);
  m_neverShow->SetTextColor(0xFF000000);
  ShowBanner();
}

int CUpdateNoticeDlg::exec() {
  OnInitDialog();
  return CDiyDialog::exec();
}

void CUpdateNoticeDlg::ShowBanner() {
  if (m_banner) return;
  m_banner = new CHtmlDlg(this);
  m_banner->setObjectName(QStringLiteral("banner"));
  m_banner->SetLanguage(m_languages->GetLanguage());
  // The strip under the caption from border to border.
  m_banner->SetStripSize(QSize(width() - 2, kBannerHeight));
  m_banner->move(1, CaptionHeight());
  m_banner->show();
  NavigateBanner();
}

void CUpdateNoticeDlg::NavigateBanner() {
  if (m_banner) m_banner->NavigateUrl(BannerUrl(CurrentWebConfig(), m_languages->GetLanguage()), false);
}

void CUpdateNoticeDlg::ApplyTexts() {
  // Without language tables the texts stay empty until the language changes: a paint
  // never reads the store's files again.
  m_textsApplied = true;
  m_question->setText(m_languages->GetString("UI", "UPDATE_STATIC_UPDATENOTICE_HEAD") + m_version +
                      m_languages->GetString("UI", "UPDATE_STATIC_UPDATENOTICE_TAIL"));
  m_update->SetButtonText(m_languages->GetString("UI", "UPDATE_BUTTON_UPDATE"));
  m_cancel->SetButtonText(m_languages->GetString("UI", "UPDATE_BUTTON_CANCEL"));
  m_neverShow->SetButtonText(m_languages->GetString("UI", "UPDATE_STATIC_NEVERSHOW"));
  SetTitleText(m_languages->GetString("UI", "DIALOG_TITLE"));
  update();
}

void CUpdateNoticeDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();  // nothing
      return;
    case Qt::Key_Escape:
      event->accept();
      OnBnClickedCancel();
      return;
    default:
      CDiyDialog::keyPressEvent(event);
  }
}

void CUpdateNoticeDlg::paintEvent(QPaintEvent* event) {
  CDiyDialog::paintEvent(event);
  if (!m_textsApplied) ApplyTexts();
}

void CUpdateNoticeDlg::OnLanguageChanged() {
  m_textsApplied = false;
  if (m_banner) m_banner->SetLanguage(m_languages->GetLanguage());
  NavigateBanner();
  update();
}

void CUpdateNoticeDlg::OnBnClickedUpdate() {
  // Only the update button keeps the box: refusing must never turn into silent updates.
  if (m_store->KeyExists())
    m_store->SetDword(QString::fromLatin1(kUpdateNoticeValue), m_neverShow->isChecked() ? 1 : 0);
  done(skin::kResultOk);
}

void CUpdateNoticeDlg::OnBnClickedCancel() { done(skin::kResultCancel); }

int AskUpdateNotice(const QString& version) {
  CUpdateNoticeDlg dialog(version);
  return dialog.exec() == skin::kResultOk ? skin::kResultOk : skin::kResultCancel;
}

}  // namespace tray
