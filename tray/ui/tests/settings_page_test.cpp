// The settings page in the settings dialog, offscreen with the real language files: the
// controls and their texts in each language, the combo's order, the tray menus' texts,
// the tab re-reading the autostart entry and the data folder, the autostart box with OK
// and Cancel, a language chosen in the combo renaming the data folder's sub-folders, the
// language restored at the next start, and an exit that renames nothing.
#include "hermetic.h"
#include "settings_page.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include "color_combobox.h"
#include "dialog_options.h"
#include "diy_menu.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "login_dlg.h"
#include "message_box.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "settings_store.h"
#include "skin_buttons.h"

namespace {

// The language's own text of a key, from the shipped file.
QString Text(const char* section, const char* key) {
  tray::LanguagesRef store;
  return store->GetString(section, key);
}

template <typename T>
T* Control(QWidget& dlg, int id) {
  return dlg.findChild<T*>(QString::number(id));
}

// A choice in the combo's list, as the user makes it.
void Choose(tray::CColorCombobox* combo, int index) {
  combo->setCurrentIndex(index);
  emit combo->activated(index);
  QApplication::processEvents();
  QApplication::processEvents();
}

class SettingsPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    store = std::make_unique<tray::FileSettingsStore>(m_dir.filePath(QStringLiteral("config/settings.ini")));
    ASSERT_TRUE(store->CreateKey());
    ASSERT_TRUE(store->SetDword(QStringLiteral("SetupWizard"), 1));  // the first-run wizard ran
    tray::SetSettingsStore(store.get());
    service.setDefShareResult = 0;
    traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
    options.programPath = QStringLiteral("/opt/") + QString(195, QLatin1Char('t'));
    base = m_dir.filePath(QStringLiteral("home"));
  }
  void TearDown() override {
    tray::SetSettingsStore(nullptr);
    traytest::ForgetLanguages();
  }
  std::unique_ptr<tray::CSettingDlg> Open() {
    auto dlg = std::make_unique<tray::CSettingDlg>(options);
    QCoreApplication::processEvents();
    dlg->LoginWindow()->hide();
    return dlg;
  }
  QString Folder(const QString& name) const { return base + QStringLiteral("/Tirvan/") + name; }
  void MakeFolders(int language) {
    tray::LanguagesRef l;
    const int before = l->GetLanguage();
    l->SetLanguage(language);
    for (const char* key : {"SHARE_PICTURE", "SHARE_MUSIC", "SHARE_AUDIO", "SHARE_DOCUMENT"}) {
      const QString folder = Folder(l->GetString("DEFAULTSHARE", key));
      ASSERT_TRUE(QDir().mkpath(folder));
      QFile f(folder + QStringLiteral("/kept.txt"));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(key);
    }
    l->SetLanguage(before);
  }
  QStringList FoldersOnDisk() const {
    return QDir(base + QStringLiteral("/Tirvan")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  }

  QTemporaryDir m_dir;
  std::unique_ptr<tray::FileSettingsStore> store;
  traytest::FakeService service;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::FakeAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
  QString base;
};

TEST_F(SettingsPageTest, ThePageShowsItsTextsInEachLanguageAndTheCombosOrderNeverChanges) {
  auto dlg = Open();
  dlg->ShowSettings();
  Control<tray::CSettingButton>(*dlg, 1048)->click();
  ASSERT_EQ(dlg->CurrentPage(), tray::CSettingDlg::kPageSettings);
  auto* combo = Control<tray::CColorCombobox>(*dlg, 1053);
  ASSERT_TRUE(combo);
  const char* names[] = {"ChineseSimplified", "English", "ChineseTrad"};
  tray::LanguagesRef l;
  for (int language : {1, 0, 2}) {
    SCOPED_TRACE(names[language]);
    l->SetLanguage(language);
    EXPECT_FALSE(dlg->Flags().textsApplied || dlg->Flags().menuTextsApplied || dlg->Flags().rClickChecked);
    QTest::qWait(1);  // the menus follow at once, the page at its paint
    EXPECT_TRUE(dlg->Flags().menuTextsApplied);
    dlg->repaint();
    EXPECT_TRUE(dlg->Flags().textsApplied);

    const QStringList rows{combo->RowText(0), combo->RowText(1), combo->RowText(2)};
    EXPECT_EQ(combo->count(), 3);
    EXPECT_EQ(rows, (QStringList{QStringLiteral("简体中文"), QStringLiteral("English"), QStringLiteral("繁體中文")}));
    EXPECT_EQ(combo->currentIndex(), language);
    struct Label {
      int id;
      const char* key;
    };
    for (const Label& c : {Label{1078, "SETTING_STATIC_SETTING1"}, Label{1079, "SETTING_STATIC_START"},
                           Label{1051, "SETTING_STATIC_LANGUAGESET"}, Label{1084, "SETTING_STATIC_SETTING2"},
                           Label{1054, "SETTING_STATIC_DATAFOLDER"}}) {
      auto* label = Control<tray::CDiyStatic>(*dlg, c.id);
      ASSERT_TRUE(label) << c.id;
      EXPECT_EQ(label->text(), Text("UI", c.key)) << c.id;
      EXPECT_FALSE(label->text().isEmpty()) << c.id;
      EXPECT_TRUE(label->isVisible()) << c.id;
    }
    auto* box = Control<tray::CColorButton>(*dlg, 1050);
    EXPECT_EQ(box->ButtonText().trimmed(), Text("UI", "SETTING_CHECKBOX_AUTOSTART"));
    auto* move = Control<tray::CColorButton>(*dlg, 1055);
    EXPECT_EQ(move->ButtonText(), Text("UI", "SETTING_BUTTON_MOVEFOLDER"));
    EXPECT_EQ(move->toolTip(), Text("UI", "SETTING_HELP") + Text("UI", "SETTING_HELP2"));
    EXPECT_EQ(Control<tray::CSettingButton>(*dlg, 1048)->ButtonText(), Text("UI", "SETTING_BUTTON_SETTING"));
    EXPECT_EQ(Control<tray::CSettingButton>(*dlg, 1049)->ButtonText(), Text("UI", "SETTING_BUTTON_SHARE"));
    // The language's fonts: the labels in the status face, the combo and the field in the edit face.
    tray::FontRec status = *l->GetFont("FONT_SETTING_STATUS");
    EXPECT_EQ(Control<QWidget>(*dlg, 1078)->font().family(), status.face);
    EXPECT_EQ(Control<QWidget>(*dlg, 1025)->font().family(), l->GetFont("FONT_SETTING_EDIT")->face);
    EXPECT_EQ(combo->font().family(), l->GetFont("FONT_SETTING_EDIT")->face);

    dlg->ApplyDataFolder((base + QStringLiteral("/Tirvan")).toStdString());
    Control<tray::CSettingButton>(*dlg, 1138)->click();
    Control<tray::CSettingButton>(*dlg, 1048)->click();
    dlg->grab().save(traytest::ShotPath(QStringLiteral("settings_page_%1.png")).arg(QLatin1String(names[language])));
  }
  l->SetLanguage(1);
}

TEST_F(SettingsPageTest, TheTrayMenusCarryTheirTextsAndSeparatorsInEachLanguage) {
  auto dlg = Open();
  auto* on = dlg->findChild<tray::CDiyMenu*>(QStringLiteral("139"));
  auto* off = dlg->findChild<tray::CDiyMenu*>(QStringLiteral("145"));
  ASSERT_TRUE(on && off);
  struct Item {
    unsigned command;
    const char* key;
    bool inOff;
  };
  const Item items[] = {{32787, "TRAYMENU_EXIT", true},       {32827, "TRAYMENU_AP", true},
                        {32788, "TRAYMENU_CHANGACCOUNT", false}, {32784, "TRAYMENU_SHAREMANAGE", false},
                        {32806, "TRAYMENU_ABOUT", true},      {32810, "TRAYMENU_OPENFOLDER", true},
                        {32817, "TRAYMENU_DOWNLOAD", true},   {32818, "TRAYMENU_HELP", true},
                        {32822, "TRAYMENU_FEEFBACK", true},   {32816, "TRAYMENU_MOBILE_OUTLINE", true},
                        {32786, "TRAYMENU_UPDATE", true}};
  tray::LanguagesRef l;
  for (int language : {0, 2, 1}) {
    SCOPED_TRACE(language);
    l->SetLanguage(language);
    dlg->OnTrayActivated(tray::TrayActivation::RightClick);  // what a right-click does first
    EXPECT_TRUE(dlg->Flags().menuTextsApplied);
    for (const Item& item : items) {
      EXPECT_EQ(on->ItemText(item.command), Text("UI", item.key)) << item.key;
      EXPECT_FALSE(on->ItemText(item.command).isEmpty()) << item.key;
      EXPECT_EQ(off->Action(item.command) != nullptr, item.inOff) << item.key;
      if (item.inOff) {
        EXPECT_EQ(off->ItemText(item.command), Text("UI", item.key)) << item.key;
      }
    }
    EXPECT_FALSE(on->Action(32816)->isEnabled());
    EXPECT_FALSE(off->Action(32816)->isEnabled());
    for (auto [menu, positions] : {std::pair{on, std::vector<int>{3, 6, 9, 12, 14}},
                                   std::pair{off, std::vector<int>{2, 5, 8, 11}}}) {
      // The device-login row and its separator at the top show only while a question waits.
      QList<QAction*> actions = menu->actions();
      actions.removeIf([&](QAction* a) {
        return a == menu->Action(tray::CSettingDlg::kCmdDeviceLogin) ||
               a->objectName() == QLatin1String("deviceLoginSeparator");
      });
      int separators = 0;
      for (QAction* a : actions) separators += a->isSeparator();
      EXPECT_EQ(separators, static_cast<int>(positions.size()));
      for (int p : positions) {
        ASSERT_LT(p, actions.size());
        EXPECT_TRUE(actions[p]->isSeparator()) << p;
        EXPECT_FALSE(actions[p]->isEnabled()) << p;
        EXPECT_EQ(actions[p]->text(), QStringLiteral("-"));
      }
    }
  }
}

TEST_F(SettingsPageTest, TheTabReReadsTheEntryAndTheFolderAndTheBoxIsAppliedByOkOnly) {
  auto dlg = Open();
  dlg->ApplyDataFolder((base + QStringLiteral("/Tirvan")).toStdString());
  auto* page = dlg->SettingsPage();  // made when first needed
  auto* tab = Control<tray::CSettingButton>(*dlg, 1048);
  auto* box = Control<tray::CColorButton>(*dlg, 1050);
  auto* field = Control<QLineEdit>(*dlg, 1025);
  EXPECT_FALSE(page->isVisible());
  dlg->ShowSettings();
  tab->click();
  EXPECT_TRUE(page->isVisible());
  EXPECT_FALSE(Control<QWidget>(*dlg, 1135)->isVisible());  // the account page's button
  EXPECT_EQ(dlg->Page(), 1);  // the face frames the field
  EXPECT_FALSE(box->isChecked());
  EXPECT_EQ(field->text(), base);
  EXPECT_TRUE(field->isReadOnly());

  // The entry appears behind the page's back: the tab shows it the next time it opens.
  autostart.enabled = true;
  tab->click();  // already selected: nothing
  EXPECT_FALSE(box->isChecked());
  Control<tray::CSettingButton>(*dlg, 1138)->click();
  EXPECT_FALSE(page->isVisible());
  EXPECT_EQ(dlg->Page(), 0);
  tab->click();
  EXPECT_TRUE(box->isChecked());

  // Untick + OK deletes; tick + OK writes the whole path; tick + Cancel + OK writes nothing.
  QTest::mouseClick(box, Qt::LeftButton);
  EXPECT_TRUE(dlg->AutoStart().Changed());
  EXPECT_TRUE(dlg->ApplyAutoStartIfChanged());
  EXPECT_EQ(autostart.removed, 1);
  QTest::mouseClick(box, Qt::LeftButton);
  EXPECT_TRUE(dlg->ApplyAutoStartIfChanged());
  ASSERT_EQ(autostart.written.size(), 1);
  EXPECT_EQ(autostart.written[0].size(), 200);
  EXPECT_EQ(autostart.written[0], options.programPath);
  QTest::mouseClick(box, Qt::LeftButton);  // untick
  dlg->CancelAutoStart();
  EXPECT_TRUE(box->isChecked());  // the box shows the entry again
  EXPECT_TRUE(dlg->ApplyAutoStartIfChanged());
  EXPECT_EQ(autostart.removed, 1);
  EXPECT_TRUE(autostart.enabled);
}

TEST_F(SettingsPageTest, ALanguageChosenInTheComboRenamesTheFoldersAndIsKeptForTheNextStart) {
  MakeFolders(tray::kLanguageEnglish);
  auto dlg = Open();
  dlg->ApplyDataFolder((base + QStringLiteral("/Tirvan")).toStdString());
  dlg->ShowSettings();
  Control<tray::CSettingButton>(*dlg, 1048)->click();
  auto* combo = Control<tray::CColorCombobox>(*dlg, 1053);
  Choose(combo, tray::kLanguageChineseTrad);

  tray::LanguagesRef l;
  EXPECT_EQ(l->GetLanguage(), tray::kLanguageChineseTrad);
  EXPECT_EQ(FoldersOnDisk(), (QStringList{QStringLiteral("圖片"), QStringLiteral("影片"), QStringLiteral("文件"),
                                          QStringLiteral("音樂")}));
  QFile kept(Folder(QStringLiteral("影片")) + QStringLiteral("/kept.txt"));
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), "SHARE_AUDIO");
  ASSERT_EQ(service.setDefShare.size(), 1u);
  EXPECT_EQ(service.setDefShare[0].video, Folder(QStringLiteral("影片")).toStdString());
  EXPECT_EQ(store->GetDword(QLatin1String(tray::kLanguageValue)), 2u);
  dlg->repaint();
  EXPECT_EQ(Control<tray::CDiyStatic>(*dlg, 1051)->text(), QStringLiteral("語言"));

  // The next start comes up in that language, not the system's.
  dlg.reset();
  l->SetLanguage(tray::kLanguageEnglish);
  dlg = Open();
  EXPECT_EQ(l->GetLanguage(), tray::kLanguageChineseTrad);
  dlg->SettingsPage();  // the page is made when first needed, in the language in force
  EXPECT_EQ(Control<tray::CDiyStatic>(*dlg, 1051)->text(), QStringLiteral("語言"));
  EXPECT_EQ(Control<tray::CColorCombobox>(*dlg, 1053)->currentIndex(), tray::kLanguageChineseTrad);

  // Exit keeps the language and the folders' names, and tells the service nothing.
  const QStringList before = FoldersOnDisk();
  dlg->ApplyDataFolder((base + QStringLiteral("/Tirvan")).toStdString());
  dlg->OnExit();
  EXPECT_EQ(l->GetLanguage(), tray::kLanguageChineseTrad);
  EXPECT_EQ(FoldersOnDisk(), before);
  EXPECT_EQ(service.setDefShare.size(), 1u);
  l->SetLanguage(tray::kLanguageEnglish);
}

TEST_F(SettingsPageTest, ATakenFolderNameIsShownToTheUserAndNothingIsLost) {
  MakeFolders(tray::kLanguageEnglish);
  ASSERT_TRUE(QDir().mkpath(Folder(QStringLiteral("音乐"))));
  QFile theirs(Folder(QStringLiteral("音乐")) + QStringLiteral("/theirs.mp3"));
  ASSERT_TRUE(theirs.open(QIODevice::WriteOnly));
  theirs.close();
  auto dlg = Open();
  dlg->ApplyDataFolder((base + QStringLiteral("/Tirvan")).toStdString());
  QString shown;
  QTimer::singleShot(0, dlg.get(), [&] {
    auto* box = qobject_cast<tray::CDiyMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    shown = box->Label()->text();
    box->accept();
  });
  dlg->OnCbnSelchangeLanguage(tray::kLanguageChineseSimplified);
  EXPECT_TRUE(shown.startsWith(Text("MESSAGEBOX", "MSGBOX_RENAMEFOLDERFAIL"))) << shown.toStdString();
  EXPECT_TRUE(shown.contains(Folder(QStringLiteral("Music")))) << shown.toStdString();
  EXPECT_TRUE(QFile::exists(Folder(QStringLiteral("Music")) + QStringLiteral("/kept.txt")));
  EXPECT_TRUE(QFile::exists(Folder(QStringLiteral("音乐")) + QStringLiteral("/theirs.mp3")));
  EXPECT_TRUE(QFile::exists(Folder(QStringLiteral("图片")) + QStringLiteral("/kept.txt")));
  tray::LanguagesRef l;
  l->SetLanguage(tray::kLanguageEnglish);
}

}  // namespace
