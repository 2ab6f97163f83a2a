// A gallery of the skinned controls: a page with every control, both tray menus and a
// message box of each type, in the three languages. With --out DIR it writes them as PNG
// files and exits; otherwise it shows the page, whose combo box switches the language, and
// whose buttons open the boxes and the menus.
#include <QAbstractItemView>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "color_combobox.h"
#include "diy_dialog.h"
#include "diy_menu.h"
#include "diy_static.h"
#include "language_font.h"
#include "languages.h"
#include "message_box.h"
#include "pictures.h"
#include "skin_buttons.h"
#include "skin_rules.h"

namespace {

using namespace tray;

QString Text(const char* section, const char* key, const char* fallback) {
  LanguagesRef store;
  QString text = store->GetString(section, key);
  return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}

QFont Font(QWidget* widget, const char* section) {
  QFont font = widget->font();
  SetLanguageFont(font, section, false, widget->logicalDpiY());
  return font;
}

// Fills a menu as the settings dialog does.
void FillMenu(CDiyMenu& menu, int id, bool online) {
  struct Item {
    unsigned command;
    const char* key;
    const char* fallback;
  };
  static const Item items[] = {
      {skin::kCmdExit, "TRAYMENU_EXIT", "Exit"},
      {skin::kCmdHostedNetwork, "TRAYMENU_AP", "Wi-Fi hotspot"},
      {skin::kCmdSwitchAccount, "TRAYMENU_CHANGACCOUNT", "Switch account"},
      {skin::kCmdSettings, "TRAYMENU_SHAREMANAGE", "Settings"},
      {skin::kCmdAbout, "TRAYMENU_ABOUT", "About"},
      {skin::kCmdOpenFolder, "TRAYMENU_OPENFOLDER", "Open folder"},
      {skin::kCmdDownload, "TRAYMENU_DOWNLOAD", "Get the mobile app"},
      {skin::kCmdHelp, "TRAYMENU_HELP", "Help"},
      {skin::kCmdFeedback, "TRAYMENU_FEEFBACK", "Feedback"},
      {skin::kCmdUpdate, "TRAYMENU_UPDATE", "Check for updates"},
  };
  menu.LoadMenu(id);
  for (const Item& item : items) menu.ModifyItem(item.command, Text("UI", item.key, item.fallback));
  menu.ModifyItem(skin::kCmdMobileStatus,
                  online ? Text("UI", "TRAYMENU_MOBILE_ONLINE", "A device is online")
                         : Text("UI", "TRAYMENU_MOBILE_OUTLINE", "No device online"));
  menu.EnableItem(skin::kCmdMobileStatus, false);
  menu.SetOnlineMark(online);
}

// The page: a settings-like face with every kind of control on it.
class GalleryPage : public CDiyDialog {
 public:
  GalleryPage() : CDiyDialog(129) {
    SetBackgroundImage(337);
    SetDecorationId(129);
    SetPage(1);
    resize(484, 426);

    struct Tab {
      int id;
      QRect rect;
      const char* key;
      const char* fallback;
      int picture;
    };
    const Tab tabs[] = {{1138, {1, 156, 121, 31}, "SETTING_BUTTON_ACCOUNT", "Account", 308},
                        {1049, {122, 156, 121, 31}, "SETTING_BUTTON_SHARE", "Shares", 338},
                        {1133, {243, 156, 121, 31}, "SETTING_BUTTON_TRANS", "Transfers", 308},
                        {1048, {364, 156, 121, 31}, "SETTING_BUTTON_SETTING", "Settings", 310}};
    for (const Tab& t : tabs) {
      auto* tab = new CSettingButton(this);
      tab->setObjectName(QString::number(t.id));
      tab->setGeometry(t.rect);
      tab->SetBackgroundPicture(t.picture);
      m_tabs.push_back({tab, t.key, t.fallback});
    }

    m_ok = Button(1020, {260, 380, 89, 30}, 340, 341);
    m_cancel = Button(1019, {370, 380, 89, 30}, 340, 341);
    m_add = Button(1017, {30, 382, 80, 26}, 345, 346);
    m_delete = Button(1016, {130, 382, 80, 26}, 345, 346);
    m_delete->setEnabled(false);

    m_autostart = new CColorButton(this);
    m_autostart->setObjectName(QStringLiteral("1050"));
    m_autostart->SetKind(skin::kKindCheckBox);
    m_autostart->setGeometry(30, 210, 250, 20);
    m_autostart->setChecked(true);

    for (int i = 0; i < 2; ++i) {
      auto* radio = new CColorButton(this);
      radio->setObjectName(QString::number(1145 + i));
      radio->SetKind(skin::kKindMark);
      radio->setAutoExclusive(true);
      radio->setGeometry(30, 240 + 26 * i, 250, 23);
      radio->setChecked(i == 0);
      m_radios.push_back(radio);
    }

    m_label = new CDiyStatic(this);
    m_label->setObjectName(QStringLiteral("1051"));
    m_label->setGeometry(30, 300, 200, 20);
    m_label->SetTextColor(0xFF323232);

    m_combo = new CColorCombobox(this);
    m_combo->setObjectName(QStringLiteral("1053"));
    m_combo->setGeometry(30, 325, 122, 22);
    m_combo->SetTextColor(0xFF323232);
    QObject::connect(m_combo, &CColorCombobox::SelChange, this, [](int index) {
      LanguagesRef store;
      store->SetLanguage(index);
    });
    ApplyTexts();
  }

  void ApplyTexts() {
    for (auto& [tab, key, fallback] : m_tabs) {
      tab->SetButtonFont(Font(this, "FONT_UI_SETTING_BUTTON"));
      tab->SetButtonText(Text("UI", key, fallback));
    }
    auto label = [&](CColorButton* b, const char* key, const char* fallback, const char* font) {
      b->SetButtonFont(Font(this, font));
      b->SetTextColor(0xFF434343);
      b->SetButtonText(Text("UI", key, fallback));
    };
    label(m_ok, "SETTING_BUTTON_OK", "OK", "FONT_LOGIN_LOGIN");
    label(m_cancel, "SETTING_BUTTON_CANCEL", "Cancel", "FONT_LOGIN_LOGIN");
    label(m_add, "SETTING_BUTTON_ADD", "Add", "FONT_SETTING_BUTTON");
    label(m_delete, "SETTING_BUTTON_DELETE", "Delete", "FONT_SETTING_BUTTON");
    m_autostart->SetButtonFont(Font(this, "FONT_SETTING_STATUS"));
    m_autostart->SetTextColor(0xFF787878);
    m_autostart->SetButtonText(Text("UI", "SETTING_CHECKBOX_AUTOSTART", "Start with the desktop"));
    const char* radioKeys[] = {"WIZARD_RADIO_DEF", "WIZARD_RADIO_USER"};
    const char* radioFallbacks[] = {"Use the proposed folder", "Choose a folder"};
    for (int i = 0; i < 2; ++i) {
      m_radios[i]->SetButtonFont(Font(this, "FONT_SETTING_STATUS"));
      m_radios[i]->SetTextColor(0xFF323232);
      m_radios[i]->SetButtonText(Text("UI", radioKeys[i], radioFallbacks[i]));
    }
    m_label->SetStaticFont(Font(this, "FONT_SETTING_STATUS"));
    m_label->setText(Text("UI", "SETTING_STATIC_LANGUAGESET", "Language"));
    m_combo->blockSignals(true);
    m_combo->clear();
    m_combo->SetComboFont(Font(this, "FONT_SETTING_EDIT"));
    m_combo->AddItem(0, Text("LANGUAGE", "LANGUAGE_CHINESESIMPLIFIED", "简体中文"));
    m_combo->AddItem(1, Text("LANGUAGE", "LANGUAGE_ENGLISH", "English"));
    m_combo->AddItem(2, Text("LANGUAGE", "LANGUAGE_CHINESETRAD", "繁體中文"));
    LanguagesRef store;
    m_combo->setCurrentIndex(store->GetLanguage());
    m_combo->blockSignals(false);
    SetTitleText(Text("UI", "DIALOG_TITLE", "Tirvan"));
  }

  CColorCombobox* Combo() const { return m_combo; }
  CColorButton* Ok() const { return m_ok; }
  CColorButton* Cancel() const { return m_cancel; }
  CColorButton* Add() const { return m_add; }

 private:
  CColorButton* Button(int id, QRect rect, int normal, int hover) {
    auto* button = new CColorButton(this);
    button->setObjectName(QString::number(id));
    button->setGeometry(rect);
    button->SetPictures(normal, hover, hover, normal);
    return button;
  }

  struct TabText {
    CSettingButton* tab;
    const char* key;
    const char* fallback;
  };
  std::vector<TabText> m_tabs;
  CColorButton* m_ok;
  CColorButton* m_cancel;
  CColorButton* m_add;
  CColorButton* m_delete;
  CColorButton* m_autostart;
  std::vector<CColorButton*> m_radios;
  CDiyStatic* m_label;
  CColorCombobox* m_combo;
};

bool Save(QWidget& widget, const QString& path) {
  if (!widget.grab().save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

// Shows a window offscreen until it is exposed, then grabs it.
bool ShowAndSave(QWidget& widget, const QString& path) {
  widget.show();
  for (int i = 0; i < 100 && !(widget.windowHandle() && widget.windowHandle()->isExposed()); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  QApplication::processEvents();
  return Save(widget, path);
}

int WritePictures(const QString& folder) {
  QDir().mkpath(folder);
  const char* names[] = {"ch", "en", "tw"};
  bool ok = true;
  LanguagesRef store;
  for (int language = 0; language < 3; ++language) {
    store->SetLanguage(language);
    const QString prefix = QDir(folder).filePath(QString::fromLatin1(names[language]));
    {
      GalleryPage page;
      ok &= ShowAndSave(page, prefix + QStringLiteral("-controls.png"));
      page.Combo()->showPopup();
      QWidget* popup = page.Combo()->view()->window();
      ok &= ShowAndSave(*popup, prefix + QStringLiteral("-combo-open.png"));
      page.Combo()->hidePopup();
    }
    for (auto [id, online] : {std::pair{skin::kMenuLoggedOn, true}, std::pair{skin::kMenuLoggedOff, false}}) {
      CDiyMenu menu;
      FillMenu(menu, id, online);
      menu.popup(QPoint(0, 0));
      menu.setActiveAction(menu.Action(skin::kCmdHelp));
      ok &= ShowAndSave(menu, prefix + QStringLiteral("-menu%1.png").arg(id));
      menu.close();
    }
    struct Box {
      int type;
      const char* key;
      const char* fallback;
      const char* name;
    };
    const Box boxes[] = {
        {skin::kMessageBoxOk, "MSGBOX_NOACCOUNT", "Please enter your account.", "box-ok"},
        {skin::kMessageBoxOkCancel, "MSGBOX_LOGIOUTUSER", "Log out of this account?", "box-okcancel"},
        {skin::kMessageBoxYesNo, "MSGBOX_MOVEEXISTS", "The chosen place already holds a folder.", "box-yesno"},
    };
    for (const Box& b : boxes) {
      CDiyMessageBox box(store.get(), Text("MESSAGEBOX", b.key, b.fallback),
                         Text("UI", "DIALOG_TITLE", "Tirvan"), b.type);
      ok &= ShowAndSave(box, prefix + QStringLiteral("-%1.png").arg(QString::fromLatin1(b.name)));
    }
    QString longText;
    for (int i = 0; i < 6; ++i)
      longText += Text("MESSAGEBOX", "MSGBOX_NOACCOUNT", "Please enter your account.") + QLatin1Char(' ');
    CDiyMessageBox box(store.get(), longText, QString(), skin::kMessageBoxOk);
    ok &= ShowAndSave(box, prefix + QStringLiteral("-box-long.png"));
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Writing pictures needs no display.
  for (int i = 1; i < argc; ++i)
    if (QByteArray(argv[i]) == "--out" && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  InitPictures();
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("The skinned controls of the tray program."));
  parser.addHelpOption();
  QCommandLineOption out(QStringLiteral("out"), QStringLiteral("Write PNG files into <folder>."),
                         QStringLiteral("folder"));
  QCommandLineOption langDir(QStringLiteral("lang-dir"),
                             QStringLiteral("Read the language files from <folder>."),
                             QStringLiteral("folder"));
  parser.addOption(out);
  parser.addOption(langDir);
  parser.process(app);
  if (parser.isSet(langDir)) SetLanguageFolder(parser.value(langDir));
  if (parser.isSet(out)) return WritePictures(parser.value(out));

  GalleryPage page;
  CDiyMenu menuOn, menuOff;
  auto refill = [&] {
    page.ApplyTexts();
    page.update();
    FillMenu(menuOn, skin::kMenuLoggedOn, true);
    FillMenu(menuOff, skin::kMenuLoggedOff, false);
  };
  refill();
  struct Listener final : ILanguageCallBack {
    std::function<void()> changed;
    void OnLanguageChanged() override { changed(); }
  } listener;
  listener.changed = refill;
  LanguagesRef store;
  store->AddListener(&listener);
  auto box = [&](int type, const char* key, const char* fallback) {
    ShowDiyMessageBox(store.get(), Text("MESSAGEBOX", key, fallback), Text("UI", "DIALOG_TITLE", "Tirvan"),
                      type);
  };
  QObject::connect(page.Ok(), &QAbstractButton::clicked, [&] {
    box(skin::kMessageBoxOk, "MSGBOX_NOACCOUNT", "Please enter your account.");
  });
  QObject::connect(page.Cancel(), &QAbstractButton::clicked, [&] {
    box(skin::kMessageBoxOkCancel, "MSGBOX_LOGIOUTUSER", "Log out of this account?");
  });
  QObject::connect(page.Add(), &QAbstractButton::clicked, [&] {
    box(skin::kMessageBoxYesNo, "MSGBOX_MOVEEXISTS", "The chosen place already holds a folder.");
  });
  QObject::connect(page.CloseButton(), &QAbstractButton::clicked, &app, &QApplication::quit);
  page.setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(&page, &QWidget::customContextMenuRequested, [&](const QPoint& pos) {
    (pos.x() < page.width() / 2 ? menuOn : menuOff).popup(page.mapToGlobal(pos));
  });
  page.show();
  int result = QApplication::exec();
  store->RemoveListener(&listener);
  return result;
}
