#include "wizard_dlg.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTreeWidget>

#include <algorithm>
#include <vector>

#include "folder_picker.h"
#include "language_font.h"
#include "message_box.h"
#include "shell.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "web_config.h"

namespace tray {

namespace {

constexpr int kWidth = 820, kHeight = 480;  // the face's own size
constexpr QRgb kText = 0xFF434343;
constexpr QRgb kLinkColor = 0xFF0040FF;
constexpr QPoint kStepPictureAt(54, 172);  // 1142
// Every step's title in one place, on the face itself.
constexpr QRect kTitleRect(274, 62, 526, 40);
// The footer band of the face, and the buttons inside it as the settings window has its
// own: right-aligned, 20 pixels from the edge, 10 apart, centred in the band.
constexpr int kFooterHeight = 46;
constexpr QSize kFooterButton(89, 30);
constexpr int kFooterButtonY = kHeight - kFooterHeight + (kFooterHeight - 30) / 2;
constexpr int kForwardX = kWidth - 20 - 89;  // next and finish
constexpr int kBackX = kForwardX - 10 - 89;
// The back button is not the primary one: the settings window's plain button faces.
constexpr int kBackPicture = 340, kBackHoverPicture = 341;
// A field the user cannot type into: grey, like the window rather than like an input.
constexpr QRgb kReadOnlyBase = 0xFFECEEF0;
constexpr QChar kWordJoiner(0x2060);

// Template places in dialog units turned into pixels (1.75 pixels a unit).
constexpr int Px(int units) { return units * 7 / 4; }
QRect Place(int x, int y, int w, int h) { return QRect(Px(x), Px(y), Px(w), Px(h)); }

// The closing link: underlined text in the link colour; a click opens its target.
class WizardLink final : public QAbstractButton {
 public:
  explicit WizardLink(QWidget* parent) : QAbstractButton(parent) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setFont(font());
    p.setPen(QColor::fromRgba(kLinkColor));
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
  }
};

// A text drawn on the face (no background of its own), in the text colour.
QLabel* MakeLabel(QWidget* parent, const char* id, bool wrap) {
  auto* label = new QLabel(parent);
  label->setObjectName(QLatin1String(id));
  label->setWordWrap(wrap);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, QColor::fromRgba(kText));
  label->setPalette(pal);
  return label;
}

CColorButton* MakeButton(QWidget* parent, const char* id, int normal, int hover, QRgb text) {
  auto* b = new CColorButton(parent);
  b->setObjectName(QLatin1String(id));
  b->SetPictures(normal, hover, hover, normal);
  b->SetTextColor(text);
  b->setAutoDefault(false);
  b->setDefault(false);
  QPixmap face = LoadPngResource(normal);
  b->resize(face.isNull() ? QSize(89, 30) : face.size());
  return b;
}

}  // namespace

QString PathBreakingAtSlashes(const QString& path) {
  // A word joiner between any two characters that a line may not part: only a "/" ends a
  // line inside the path.
  QString out;
  for (int i = 0; i < path.size(); ++i) {
    out += path[i];
    if (i + 1 < path.size() && path[i] != QLatin1Char('/')) out += kWordJoiner;
  }
  return out;
}

int WizardPictureForLanguage(int language) {
  switch (language) {
    case 1:
      return 361;
    case 2:
      return 360;
    default:
      return 359;
  }
}

CWizardDlg::CWizardDlg(IWizardTarget* target, IShellOpen* shell, IFolderPicker* picker, QWidget* parent)
    : CDiyDialog(kWizardTemplate, parent),
      m_target(target),
      m_shell(shell),
      m_picker(picker),
      m_logic(wizard::ProposedBase(), QCoreApplication::applicationDirPath()) {
  m_languages->AddListener(this);
  SetShowMinimize(false);
  SetDrawLogo(false);
  SetCornerRadius(14);
  SetBackgroundImage(kWizardFaceStep1);
  SetPageTop(CaptionHeight());
  setFixedSize(kWidth, kHeight);
  setWindowIcon(QIcon(LoadPngResource(128)));

  m_title = MakeLabel(this, "1036", true);
  m_title->setGeometry(kTitleRect);
  m_radioDef = new CColorButton(this);
  m_radioDef->setObjectName(QStringLiteral("1145"));
  m_radioDef->setGeometry(Place(205, 111, 102, 13));
  m_folderName = MakeLabel(this, "1143", true);
  m_folderName->setGeometry(Place(219, 131, 220, 23));
  m_radioUser = new CColorButton(this);
  m_radioUser->setObjectName(QStringLiteral("1146"));
  m_radioUser->setGeometry(Place(205, 158, 84, 14));
  for (CColorButton* radio : {m_radioDef, m_radioUser}) {
    radio->SetKind(skin::kKindMark);
    radio->SetTextColor(kText);
    radio->setAutoExclusive(true);
    radio->setAutoDefault(false);
  }
  m_folderEdit = new QLineEdit(this);
  m_folderEdit->setObjectName(QStringLiteral("1025"));
  m_folderEdit->setGeometry(Px(219), Px(182), 161, 16);
  m_folderEdit->setFrame(false);
  // Read-only: the browse button chooses the folder, so the field neither takes the focus
  // nor looks like an input.
  m_folderEdit->setReadOnly(true);
  m_folderEdit->setFocusPolicy(Qt::NoFocus);
  m_folderEdit->setCursor(Qt::ArrowCursor);
  m_folderEdit->setTextMargins(3, 0, 3, 0);
  QPalette editPal = m_folderEdit->palette();
  editPal.setColor(QPalette::Base, QColor::fromRgba(kReadOnlyBase));
  editPal.setColor(QPalette::Text, QColor::fromRgba(kText));
  m_folderEdit->setPalette(editPal);
  m_browse = MakeButton(this, "1028", 362, 363, 0xFF000000);
  m_browse->move(Px(367), Px(181));

  m_list = new QTreeWidget(this);
  m_list->setObjectName(QStringLiteral("1033"));
  m_list->setGeometry(Place(157, 64, 301, 126));
  m_list->setColumnCount(2);
  m_list->setRootIsDecorated(false);
  m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setColumnWidth(0, 130);
  m_list->setColumnWidth(1, 218);
  m_list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_delete = MakeButton(this, "1035", 364, 365, kText);
  m_delete->move(Px(335), Px(199));
  m_add = MakeButton(this, "1034", 364, 365, kText);
  m_add->move(Px(398), Px(199));

  m_closing = MakeLabel(this, "1076", true);
  m_closing->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_closing->setGeometry(Place(154, 83, 236, 28));
  m_link = new WizardLink(this);
  m_link->setObjectName(QStringLiteral("1064"));
  m_link->setGeometry(Place(399, 84, 53, 13));

  m_back = MakeButton(this, "1039", kBackPicture, kBackHoverPicture, kText);
  m_back->setGeometry(QRect(QPoint(kBackX, kFooterButtonY), kFooterButton));
  m_next = MakeButton(this, "1029", 366, 367, 0xFFFFFFFF);
  m_next->setGeometry(QRect(QPoint(kForwardX, kFooterButtonY), kFooterButton));
  m_finish = MakeButton(this, "1030", 366, 367, 0xFFFFFFFF);
  m_finish->setGeometry(QRect(QPoint(kForwardX, kFooterButtonY), kFooterButton));

  connect(m_next, &QAbstractButton::clicked, this, [this] { OnBnClickedNext(); });
  connect(m_back, &QAbstractButton::clicked, this, [this] { OnBnClickedFront(); });
  connect(m_finish, &QAbstractButton::clicked, this, [this] { OnBnClickedFinish(); });
  connect(m_radioDef, &QAbstractButton::clicked, this, [this] { OnBnClickedRadioDef(); });
  connect(m_radioUser, &QAbstractButton::clicked, this, [this] { OnBnClickedRadioUser(); });
  connect(m_browse, &QAbstractButton::clicked, this, [this] { OnBnClickedBrowse(); });
  connect(m_add, &QAbstractButton::clicked, this, [this] { OnBnClickedAdd(); });
  connect(m_delete, &QAbstractButton::clicked, this, [this] { OnBnClickedDelete(); });
  connect(m_list, &QTreeWidget::itemClicked, this, [this] { OnClickFolderList(); });
  connect(m_link, &QAbstractButton::clicked, this, [this] {
    if (m_shell) m_shell->OpenUrl(LinkTarget());
  });
}

CWizardDlg::~CWizardDlg() { m_languages->RemoveListener(this); }

void CWizardDlg::OnInitDialog() {
  if (m_initialised) return;
  m_initialised = true;
  if (m_target) m_logic.SetSharedFolders(m_target->SharedFolders());
  m_list->setHeaderLabels({m_languages->GetString("UI", "WIZARD_LISTBOX_FOLDER"),
                           m_languages->GetString("UI", "WIZARD_LISTBOX_PATH")});
  const QString product = wizard::ProductFolder(m_logic.DefaultFolder());
  m_folderName->setText(m_languages->GetString("UI", "WIZARD_STATIC_FLODER1") + PathBreakingAtSlashes(product) +
                        m_languages->GetString("UI", "WIZARD_STATIC_FLODER2"));
  m_folderName->setToolTip(product);
  m_folderEdit->setReadOnly(true);
  m_browse->setEnabled(false);
  ShowFolderText();

  const int dpi = logicalDpiY();
  m_titleFont = m_textFont = m_buttonFont = m_linkFont = font();
  SetLanguageFont(m_titleFont, "FONT_WIZARD_STATIC", false, dpi);
  SetLanguageFont(m_textFont, "FONT_WIZARD_STATIC1", false, dpi);
  SetLanguageFont(m_buttonFont, "FONT_WIZARD_BUTTON", false, dpi);
  SetLanguageFont(m_linkFont, "FONT_WIZARD_LINK1", true, dpi);
  m_title->setFont(m_titleFont);
  m_closing->setFont(m_titleFont);
  for (QWidget* w : std::initializer_list<QWidget*>{m_folderEdit, m_folderName}) w->setFont(m_textFont);
  for (CColorButton* radio : {m_radioDef, m_radioUser}) radio->SetButtonFont(m_textFont);
  for (CColorButton* b : {m_browse, m_add, m_delete, m_back, m_finish, m_next}) b->SetButtonFont(m_buttonFont);
  m_link->setFont(m_linkFont);
  PlaceFolderEdit();

  m_delete->setEnabled(false);
  m_radioDef->SetButtonText(m_languages->GetString("UI", "WIZARD_RADIO_DEF"));
  m_radioUser->SetButtonText(m_languages->GetString("UI", "WIZARD_RADIO_USER"));
  m_radioDef->setChecked(true);
  ShowStep(m_logic.Step());
}

int CWizardDlg::exec() {
  OnInitDialog();
  // Centred on the screen it opens on.
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  return CDiyDialog::exec();
}

void CWizardDlg::ShowStep(int step) {
  struct StepLook {
    int face;
    const char* title;
  };
  // One layout for every step: the title keeps its place and its look.
  static const StepLook looks[] = {
      {kWizardFaceStep1, "WIZARD_STATIC_TITLESTEP1"},
      {kWizardFace, "WIZARD_STATIC_TITLESTEP2"},
      {kWizardFace, "WIZARD_STATIC_TITLESTEP3"},
  };
  step = std::clamp(step, 1, 3);
  const StepLook& look = looks[step - 1];
  SetBackgroundImage(look.face);
  m_title->setText(m_languages->GetString("UI", look.title));

  const std::vector<QWidget*> steps[] = {
      {m_title, m_radioDef, m_radioUser, m_folderName, m_folderEdit, m_browse, m_next},
      {m_title, m_list, m_add, m_delete, m_back, m_next},
      {m_title, m_closing, m_link, m_back, m_finish},
  };
  const std::vector<QWidget*> all = {m_title,  m_radioDef, m_radioUser, m_folderName, m_folderEdit,
                                     m_browse, m_list,     m_add,       m_delete,     m_closing,
                                     m_link,   m_back,     m_next,      m_finish};
  const std::vector<QWidget*>& shown = steps[step - 1];
  for (QWidget* w : all) w->setVisible(std::find(shown.begin(), shown.end(), w) != shown.end());
  update();
}

void CWizardDlg::ApplyTexts() {
  m_textsLoaded = true;
  m_add->SetButtonText(m_languages->GetString("UI", "WIZARD_BUTTON_ADD"));
  m_delete->SetButtonText(m_languages->GetString("UI", "WIZARD_BUTTON_DELETE"));
  m_next->SetButtonText(m_languages->GetString("UI", "WIZARD_BUTTON_NEXT"));
  m_back->SetButtonText(m_languages->GetString("UI", "WIZARD_BUTTON_FRONT"));
  m_finish->SetButtonText(m_languages->GetString("UI", "WIZARD_BUTTON_FINISH"));
  m_closing->setText(m_languages->GetString("UI", "WIZARD_STATIC2"));
  m_link->setText(m_languages->GetString("UI", "WIZARD_MFCLINK2"));
  FitClosingTexts();
  SetTitleText(m_languages->GetString("UI", "DIALOG_TITLE"));
  update();
}

void CWizardDlg::FitClosingTexts() {
  // A text longer than its template place grows downwards rather than being cut; a link
  // that does not fit beside it goes under it.
  const QRect closing = Place(154, 83, 236, 28);
  m_closing->setGeometry(closing.x(), closing.y(), closing.width(),
                         std::max(closing.height(), m_closing->heightForWidth(closing.width())));
  const QRect link = Place(399, 84, 53, 13);
  const int needed = QFontMetrics(m_link->font()).horizontalAdvance(m_link->text()) + 4;
  if (link.x() + std::max(link.width(), needed) <= kWidth - 8) {
    m_link->setGeometry(link.x(), link.y(), std::max(link.width(), needed), link.height());
  } else {
    m_link->setGeometry(closing.x(), m_closing->geometry().bottom() + 8, std::min(needed, kWidth - closing.x() - 8),
                        link.height());
  }
}

void CWizardDlg::OnLanguageChanged() {
  m_textsLoaded = false;
  update();
}

QString CWizardDlg::LinkTarget() const {
  return ResolveWebUrl(CurrentWebConfig(), m_languages->GetString("URL", "URL_MFCLINK2"));
}

void CWizardDlg::paintEvent(QPaintEvent* event) {
  OnInitDialog();
  if (!m_textsLoaded) ApplyTexts();
  CDiyDialog::paintEvent(event);
  QPainter p(this);
  QPixmap picture = LoadPngResource(StepPicture());
  if (!picture.isNull()) p.drawPixmap(kStepPictureAt, picture);
}

void CWizardDlg::ShowFolderText() {
  m_folderEdit->setText(m_logic.FolderText());
  m_folderEdit->setCursorPosition(0);  // the path's start, where a person reads first
  m_folderEdit->setToolTip(m_logic.FolderText());
}

void CWizardDlg::PlaceFolderEdit() {
  // A whole line of its font high (161 x 16 at least), level with the browse button and
  // reaching up to it, so that more of a long path shows.
  const int height = std::max(16, QFontMetrics(m_folderEdit->font()).height() + 4);
  const int centre = m_browse->geometry().center().y();
  const int width = std::max(161, m_browse->x() - 8 - Px(219));
  m_folderEdit->setGeometry(Px(219), centre - height / 2 + 1, width, height);
}

void CWizardDlg::ShowRows() {
  m_list->clear();
  for (const wizard::Row& row : m_logic.Rows()) {
    auto* item = new QTreeWidgetItem(m_list, QStringList{row.name, row.path});
    item->setToolTip(1, row.path);
  }
}

void CWizardDlg::SetDeleteEnabled(bool enabled) {
  if (m_delete->isEnabled() == enabled) return;
  m_delete->setEnabled(enabled);
  m_delete->update();
}

void CWizardDlg::OnBnClickedNext() {
  const int before = m_logic.Step();
  m_logic.Next();
  ShowStep(m_logic.Step());
  if (before == 1 && m_logic.Step() == 2) {
    ShowRows();
    SetDeleteEnabled(false);
  }
}

void CWizardDlg::OnBnClickedFront() {
  m_logic.Back();
  ShowStep(m_logic.Step());
}

void CWizardDlg::OnBnClickedRadioDef() {
  m_folderEdit->setReadOnly(true);
  m_browse->setEnabled(false);
  m_logic.ChooseDefault(wizard::ProposedBase());
  ShowFolderText();
}

void CWizardDlg::OnBnClickedRadioUser() {
  m_logic.ChooseOwn();
  m_browse->setEnabled(true);
}

void CWizardDlg::OnBnClickedBrowse() {
  if (!m_picker || !m_logic.BrowseEnabled()) return;
  const QString picked =
      m_picker->PickFolder(this, m_languages->GetString("OTHER", "OTHER_SELECT_DEFAULTFLODER")).value_or(QString());
  if (picked.isEmpty()) return;  // cancelled: nothing changes
  m_logic.Browsed(picked);
  ShowFolderText();
}

void CWizardDlg::OnBnClickedAdd() {
  if (!m_picker) return;
  const QString picked =
      m_picker->PickFolder(this, m_languages->GetString("OTHER", "OTHER_SELECTFLODER")).value_or(QString());
  if (picked.isEmpty()) return;
  switch (m_logic.Add(picked)) {
    case wizard::kAdded:
      ShowRows();
      break;
    case wizard::kAlreadyListed: {
      QString text = m_languages->GetString("MESSAGEBOX", "MSGBOX_SHARESAMEFOLDER");
      m_messages << text;
      ShowDiyMessageBox(m_languages.get(), text, m_languages->GetString("UI", "DIALOG_TITLE"), 0);
      break;
    }
    case wizard::kSystemFolder:
      qInfo("wizard: %s lies in a system folder; not shared", qUtf8Printable(picked));
      break;
  }
}

void CWizardDlg::OnBnClickedDelete() {
  std::vector<int> rows;
  for (QTreeWidgetItem* item : m_list->selectedItems()) rows.push_back(m_list->indexOfTopLevelItem(item));
  if (rows.empty()) return;
  m_logic.Delete(rows);
  ShowRows();
  SetDeleteEnabled(false);
}

void CWizardDlg::OnClickFolderList() {
  QTreeWidgetItem* current = m_list->currentItem();
  if (m_list->selectedItems().isEmpty() || !current) {
    SetDeleteEnabled(false);
    return;
  }
  SetDeleteEnabled(m_logic.DeleteAllowed(m_list->indexOfTopLevelItem(current)));
}

void CWizardDlg::OnBnClickedFinish() {
  m_logic.FinishClicked(m_target);
  done(QDialog::Accepted);
}

}  // namespace tray
