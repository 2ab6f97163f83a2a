// The settings dialog's texts and fonts from the language tables, applied again after
// every change of language: the dialog's controls, the pages' list headers and the two
// tray menus.
#include "setting_dlg.h"

#include <QAction>
#include <QHeaderView>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>

#include <cstring>

#include "color_combobox.h"
#include "diy_menu.h"
#include "diy_static.h"
#include "language_font.h"
#include "login_dlg.h"
#include "settings_page.h"
#include "skin_buttons.h"

namespace tray {

namespace {

struct Column {
  const char* key;
  int width;
};

// The list's column headers, left-aligned, with their widths; a list the dialog does not
// hold (yet) is skipped.
void SetListColumns(QWidget* dialog, const char* id, const ILanguages& languages,
                    std::initializer_list<Column> columns) {
  auto* list = dialog->findChild<QAbstractItemView*>(QLatin1String(id));
  if (!list) return;
  QStringList texts;
  for (const Column& c : columns) texts << languages.GetString("UI", c.key);
  QHeaderView* header = nullptr;
  if (auto* tree = qobject_cast<QTreeWidget*>(list)) {
    tree->setHeaderLabels(texts);
    header = tree->header();
  } else if (auto* table = qobject_cast<QTableWidget*>(list)) {
    if (table->columnCount() < texts.size()) table->setColumnCount(static_cast<int>(texts.size()));
    table->setHorizontalHeaderLabels(texts);
    header = table->horizontalHeader();
  } else if (list->model()) {
    for (int i = 0; i < texts.size(); ++i) list->model()->setHeaderData(i, Qt::Horizontal, texts[i]);
    if (auto* treeView = qobject_cast<QTreeView*>(list)) header = treeView->header();
    if (auto* tableView = qobject_cast<QTableView*>(list)) header = tableView->horizontalHeader();
  }
  if (!header) return;
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  int i = 0;
  for (const Column& c : columns) header->resizeSection(i++, c.width);
}

// A skinned button's text in its colour, where the dialog holds that button.
void SetButton(QWidget* dialog, const char* id, const QString& text, QRgb color) {
  if (auto* button = dialog->findChild<CColorButton*>(QLatin1String(id))) {
    button->SetButtonText(text);
    button->SetTextColor(color);
  }
}

// The font of a control by its kind.
void SetControlFont(QWidget* control, const QFont& font) {
  if (auto* b = qobject_cast<CColorButton*>(control)) {
    b->SetButtonFont(font);
  } else if (auto* t = qobject_cast<CSettingButton*>(control)) {
    t->SetButtonFont(font);
  } else if (auto* s = qobject_cast<CDiyStatic*>(control)) {
    s->SetStaticFont(font);
  } else if (auto* c = qobject_cast<CColorCombobox*>(control)) {
    c->SetComboFont(font);
  } else {
    control->setFont(font);
  }
}

struct MenuText {
  unsigned command;
  const char* key;
  bool loggedOff;  // also in the menu shown while not logged on
};

constexpr MenuText kMenuTexts[] = {
    {CSettingDlg::kCmdExit, "TRAYMENU_EXIT", true},
    {CSettingDlg::kCmdHotspot, "TRAYMENU_AP", true},
    {CSettingDlg::kCmdChangeAccount, "TRAYMENU_CHANGACCOUNT", false},
    {CSettingDlg::kCmdShareManage, "TRAYMENU_SHAREMANAGE", false},
    {CSettingDlg::kCmdAbout, "TRAYMENU_ABOUT", true},
    {CSettingDlg::kCmdOpenFolder, "TRAYMENU_OPENFOLDER", true},
    {CSettingDlg::kCmdDownload, "TRAYMENU_DOWNLOAD", true},
    {CSettingDlg::kCmdHelp, "TRAYMENU_HELP", true},
    {CSettingDlg::kCmdFeedback, "TRAYMENU_FEEFBACK", true},
    {CSettingDlg::kCmdMobileLine, "TRAYMENU_MOBILE_OUTLINE", true},
    {CSettingDlg::kCmdUpdate, "TRAYMENU_UPDATE", true},
};

}  // namespace

void CSettingDlg::ApplyTexts() {
  // Without tables the texts come out empty; the store is read again only at the next
  // change of language, never from a paint (the store said once what it could not read).
  m_textFlags.textsApplied = true;
  const ILanguages& l = *m_languages.get();
  auto ui = [&](const char* key) { return l.GetString("UI", key); };

  SetTitleText(ui("DIALOG_TITLE"));
  SetListColumns(this, "1012", l, {{"SETTING_LISTBOX_FOLDER", 130}, {"SETTING_LISTBOX_PATH", 218}});
  SetListColumns(this, "1132", l,
                 {{"SETTING_LISTBOX_TRANS_FILENAME", 219}, {"SETTING_LISTBOX_TRANS_SIZE", 76},
                  {"SETTING_LISTBOX_TRANS_TIME", 138}});
  const char* tabKeys[] = {"SETTING_BUTTON_ACCOUNT", "SETTING_BUTTON_SHARE", "SETTING_BUTTON_TRANS",
                           "SETTING_BUTTON_SETTING"};
  for (int i = 0; i < 4; ++i) m_tabs[i]->SetButtonText(ui(tabKeys[i]));
  SetButton(this, "1020", ui("SETTING_BUTTON_OK"), 0xFF434343);
  SetButton(this, "1019", ui("SETTING_BUTTON_CANCEL"), 0xFF434343);
  SetButton(this, "1017", ui("SETTING_BUTTON_ADD"), 0xFF434343);
  SetButton(this, "1016", ui("SETTING_BUTTON_DELETE"), 0xFF434343);
  SetButton(this, "1135", ui("SETTING_BUTTON_SWITCH_ACCOUNT"), 0xFF41799C);
  if (m_settingsPage) {
    m_settingsPage->ApplyTexts(l);
    m_settingsPage->SelectLanguage(l.GetLanguage());
  }
  if (m_ok) LoadPageTexts();
  m_changePassword->setText(ui("SETTING_LINK_CHANGEPASSWORD"));
  ShowAccount(QString::fromUtf8(m_flow.savedLogin().account,
                                static_cast<int>(strnlen(m_flow.savedLogin().account, 31))));
  // Each language names its own faces.
  ApplyDialogFonts();
}

void CSettingDlg::ApplyDialogFonts() {
  struct FontUse {
    const char* section;
    std::initializer_list<int> controls;
  };
  const FontUse uses[] = {
      {"FONT_UI_SHARE_BUTTON", {1049}},
      {"FONT_UI_SETTING_BUTTON", {1138, 1133, 1048}},
      {"FONT_SETTING_STATUS", {1051, 1054, 1078, 1079, 1084, 1137, 1050}},
      {"FONT_SETTING_EDIT", {1025, 1053}},
      {"FONT_SETTING_BUTTON", {1017, 1016, 1055, 1135}},
      {"FONT_LOGIN_LOGIN", {1020, 1019}},
  };
  for (const FontUse& use : uses) {
    QFont f = font();
    // Neither the section nor FONT_DEFAULT: the controls keep the font they have.
    if (!SetLanguageFont(f, use.section, false, logicalDpiY())) continue;
    for (int id : use.controls) {
      if (auto* control = findChild<QWidget*>(QString::number(id))) SetControlFont(control, f);
    }
  }
}

void CSettingDlg::SetTrayMenuTexts() {
  m_textFlags.menuTextsApplied = true;
  for (CDiyMenu* menu : {m_menuLoggedOn, m_menuLoggedOff}) {
    const bool loggedOff = menu == m_menuLoggedOff;
    for (const MenuText& item : kMenuTexts) {
      if (loggedOff && !item.loggedOff) continue;
      const char* key = item.key;
      // The status line keeps telling what the last status said.
      if (item.command == kCmdMobileLine && menu->OnlineMark()) key = "TRAYMENU_MOBILE_ONLINE";
      menu->ModifyItem(item.command, m_languages->GetString("UI", key));
    }
    menu->EnableItem(kCmdMobileLine, false);
  }
}

void CSettingDlg::OnLanguageChanged() {
  m_textFlags.OnLanguageChanged();
  RefreshBanner();
  // The texts follow at the next paint; the tray's menus are read by the desktop without
  // a paint, so theirs follow at once when the loop runs.
  QTimer::singleShot(0, this, [this] {
    if (!m_textFlags.menuTextsApplied) SetTrayMenuTexts();
  });
  update();
}

void CSettingDlg::paintEvent(QPaintEvent* event) {
  if (!m_textFlags.textsApplied) ApplyTexts();
  CDiyDialog::paintEvent(event);
}

}  // namespace tray
