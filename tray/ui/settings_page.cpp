#include "settings_page.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPalette>

#include <algorithm>

#include "color_combobox.h"
#include "diy_static.h"
#include "language_font.h"
#include "languages.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "skin_rules.h"

namespace tray {

namespace {

// The places of the controls in the dialog (the field where the face frames it).
constexpr QRect kGeneralAt{20, 198, 300, 20};
constexpr QRect kStartAt{31, 228, 86, 20};
constexpr QRect kAutoStartAt{120, 226, 340, 24};
constexpr QRect kLanguageLabelAt{31, 262, 86, 20};
constexpr QPoint kLanguageAt{120, 260};
constexpr QRect kDataHeadingAt{20, 298, 300, 20};
constexpr QRect kDataLabelAt{31, 326, 300, 20};
constexpr QRect kDataFolderAt{31, 350, 164, 15};
constexpr QPoint kMoveAt{222, 344};

constexpr int kMovePicture = 342, kMoveHoverPicture = 343;
constexpr QRgb kButtonText = 0xFF434343;
constexpr QRgb kCheckBoxText = 0xFF787878;
constexpr QRgb kComboText = 0xFF323232;

QRect OnPage(const QRect& inDialog) { return inDialog.translated(-CSettingsPage::kArea.topLeft()); }
QPoint OnPage(const QPoint& inDialog) { return inDialog - CSettingsPage::kArea.topLeft(); }

QSize PictureSize(int id, QSize otherwise) {
  QPixmap picture = LoadPngResource(id);
  return picture.isNull() ? otherwise : picture.size();
}

}  // namespace

std::optional<CtlColors> OnCtlColor(int controlId) {
  switch (controlId) {
    case 1025:
    case 1053: return CtlColors{0xFFFFFF, 0x000000};
    case 1050: return CtlColors{0xF8F8F8, std::nullopt};
    case 1051: return CtlColors{0xF7F7F7, 0x000000};
    case 1054: return CtlColors{0xF6F6F6, 0x000000};
    case 1078: return CtlColors{0xF9F9F9, 0x888888};
    case 1079: return CtlColors{0xF8F8F8, 0x000000};
    case 1084: return CtlColors{0xF6F6F6, 0x888888};
    default: return std::nullopt;
  }
}

QRgb ColorRefToRgb(unsigned c) { return qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

CSettingsPage::CSettingsPage(QWidget* dialog) : QWidget(dialog) {
  setObjectName(QStringLiteral("settingsPage"));
  setGeometry(kArea);

  m_general = Label(1078, kGeneralAt);
  m_start = Label(1079, kStartAt);
  m_autoStart = new CColorButton(this);
  m_autoStart->setObjectName(QStringLiteral("1050"));
  m_autoStart->SetKind(skin::kKindCheckBox);
  m_autoStart->SetTextColor(kCheckBoxText);
  m_autoStart->setGeometry(OnPage(kAutoStartAt));
  connect(m_autoStart, &QAbstractButton::clicked, this, [this](bool checked) { emit AutoStartClicked(checked); });

  m_languageLabel = Label(1051, kLanguageLabelAt);
  m_language = new CColorCombobox(this);
  m_language->setObjectName(QStringLiteral("1053"));
  m_language->SetTextColor(kComboText);
  // The closed face is its picture, drawn one pixel down.
  m_language->setGeometry(QRect(OnPage(kLanguageAt), PictureSize(skin::kComboFace, QSize(122, 20)) + QSize(0, 1)));
  connect(m_language, &CColorCombobox::SelChange, this, [this](int index) { emit LanguageChosen(index); });

  m_dataHeading = Label(1084, kDataHeadingAt);
  m_dataLabel = Label(1054, kDataLabelAt);
  m_dataFolder = new QLineEdit(this);
  m_dataFolder->setObjectName(QStringLiteral("1025"));
  // A move is chosen with the button only: the field shows the folder in use.
  m_dataFolder->setReadOnly(true);
  m_dataFolder->setFrame(false);
  m_dataFolder->setFocusPolicy(Qt::ClickFocus);
  m_dataFolder->setGeometry(OnPage(kDataFolderAt));
  const CtlColors field = *OnCtlColor(1025);
  QPalette palette = m_dataFolder->palette();
  palette.setColor(QPalette::Base, ColorRefToRgb(field.background));
  palette.setColor(QPalette::Text, ColorRefToRgb(*field.text));
  m_dataFolder->setPalette(palette);
  m_dataFolder->setTextMargins(2, 0, 2, 0);
  // Each language's font has its own height: the field follows whatever font it is given.
  m_dataFolder->installEventFilter(this);

  m_move = new CColorButton(this);
  m_move->setObjectName(QStringLiteral("1055"));
  m_move->SetPictures(kMovePicture, kMoveHoverPicture, kMoveHoverPicture, kMovePicture);
  m_move->SetTextColor(kButtonText);
  m_move->setGeometry(QRect(OnPage(kMoveAt), PictureSize(kMovePicture, QSize(80, 26))));
  connect(m_move, &QAbstractButton::clicked, this, [this] { emit MoveFolderClicked(); });

  ApplyFonts();
}

bool CSettingsPage::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_dataFolder && event->type() == QEvent::FontChange) PlaceDataFolder();
  return QWidget::eventFilter(watched, event);
}

void CSettingsPage::PlaceDataFolder() {
  if (!m_move) return;  // still being built
  // At least the template's height, and a whole line of the font with the field's margins;
  // centred on the move button beside it.
  const int height = std::max(kDataFolderAt.height(), QFontMetrics(m_dataFolder->font()).height() + 4);
  const int centre = kMoveAt.y() + m_move->height() / 2;
  m_dataFolder->setGeometry(OnPage(QRect(kDataFolderAt.x(), centre - height / 2, kDataFolderAt.width(), height)));
  // The start of the folder, whatever the field showed in the font before.
  m_dataFolder->setCursorPosition(0);
}

CDiyStatic* CSettingsPage::Label(int id, const QRect& at) {
  auto* label = new CDiyStatic(this);
  label->setObjectName(QString::number(id));
  label->setGeometry(OnPage(at));
  StringFormat format;
  format.vertical = Qt::AlignVCenter;
  label->SetStringFormat(format);
  label->SetTextColor(ColorRefToRgb(*OnCtlColor(id)->text));
  return label;
}

void CSettingsPage::ApplyFonts() {
  const int dpi = logicalDpiY();
  QFont status = font(), edit = font(), button = font();
  SetLanguageFont(status, "FONT_SETTING_STATUS", false, dpi);
  SetLanguageFont(edit, "FONT_SETTING_EDIT", false, dpi);
  SetLanguageFont(button, "FONT_SETTING_BUTTON", false, dpi);
  for (CDiyStatic* label : {m_general, m_start, m_languageLabel, m_dataHeading, m_dataLabel}) {
    label->SetStaticFont(status);
  }
  m_autoStart->SetButtonFont(status);
  m_language->SetComboFont(edit);
  m_dataFolder->setFont(edit);
  m_move->SetButtonFont(button);
  PlaceDataFolder();
}

void CSettingsPage::ApplyTexts(const ILanguages& languages) {
  auto ui = [&](const char* key) { return languages.GetString("UI", key); };
  m_general->setText(ui("SETTING_STATIC_SETTING1"));
  m_start->setText(ui("SETTING_STATIC_START"));
  m_languageLabel->setText(ui("SETTING_STATIC_LANGUAGESET"));
  m_dataHeading->setText(ui("SETTING_STATIC_SETTING2"));
  m_dataLabel->setText(ui("SETTING_STATIC_DATAFOLDER"));
  m_autoStart->SetButtonText(ui("SETTING_CHECKBOX_AUTOSTART"));
  m_autoStart->SetTextColor(kCheckBoxText);
  m_move->SetButtonText(ui("SETTING_BUTTON_MOVEFOLDER"));
  m_move->SetTextColor(kButtonText);
  m_move->setToolTip(ui("SETTING_HELP") + ui("SETTING_HELP2"));
  m_language->SetTextColor(kComboText);

  // The combo's rows anew, in index order, showing the language in force.
  const QSignalBlocker quiet(m_language);
  m_language->setCurrentIndex(-1);
  m_language->clear();
  const char* names[] = {"LANGUAGE_CHINESESIMPLIFIED", "LANGUAGE_ENGLISH", "LANGUAGE_CHINESETRAD"};
  for (int i = 0; i < 3; ++i) m_language->AddItem(i, languages.GetString("LANGUAGE", names[i]));
  m_language->setMaxVisibleItems(8);
  m_language->setCurrentIndex(languages.GetLanguage());
  m_language->update();
}

void CSettingsPage::SetAutoStart(bool checked) { m_autoStart->setChecked(checked); }

void CSettingsPage::SetDataFolder(const QString& folder) {
  m_dataFolder->setText(folder);
  m_dataFolder->setCursorPosition(0);
  // The whole folder where the field is too narrow for it.
  m_dataFolder->setToolTip(folder);
}

void CSettingsPage::SelectLanguage(int index) {
  const QSignalBlocker quiet(m_language);
  m_language->setCurrentIndex(index);
  m_language->update();
}

}  // namespace tray
