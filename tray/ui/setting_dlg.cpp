#include "setting_dlg.h"

#include "about_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

#include <cstring>

#include "desktop_shell.h"
#include "diy_menu.h"
#include "diy_static.h"
#include "folder_picker.h"
#include "language_font.h"
#include "login_dlg.h"
#include "message_box.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "process.h"
#include "settings_store.h"
#include "switch_account_dlg.h"
#include "update_dlg.h"
#include "web_config.h"

namespace tray {

CSettingDlg* g_pSettingDlg = nullptr;

namespace {

constexpr int kFace = 337;
constexpr int kIconNotLoggedOn = 174;
constexpr int kIconLoggedOn = 368;
constexpr int kIconDeviceOnline = 239;
constexpr int kIconDeviceLoginWaits = 255;

QIcon Icon(int id) {
  QPixmap pixmap(QStringLiteral(":/icon/%1.png").arg(id));
  if (pixmap.isNull()) pixmap = LoadPngResource(id);
  return QIcon(pixmap);
}

// The program's icon as a file the desktop can show on the data folder, written from the
// resources into the user's icon theme folder.
QString InstalledIconPath() {
  QString data = qEnvironmentVariable("XDG_DATA_HOME");
  if (data.isEmpty()) data = QDir::homePath() + QStringLiteral("/.local/share");
  QString path = data + QStringLiteral("/icons/hicolor/128x128/apps/tirvan.png");
  if (!QFileInfo::exists(path)) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!QFile::copy(QStringLiteral(":/icon/128.png"), path)) qWarning("cannot write the icon %s", qUtf8Printable(path));
  }
  return path;
}

}  // namespace

CSettingDlg::CSettingDlg(SettingDlgOptions options)
    : CDiyDialog(kTemplate),
      m_options(std::move(options)),
      m_ui(m_options.service ? m_options.service : AcquireUIData()),
      m_ownShell(m_options.shell ? nullptr : std::make_unique<DesktopShell>()),
      m_shell(m_options.shell ? m_options.shell : m_ownShell.get()),
      m_ownTray(m_options.tray ? nullptr : std::make_unique<QtTrayBackend>()),
      m_tray(m_options.tray ? m_options.tray : m_ownTray.get()),
      m_ownAutostart(m_options.autostart ? nullptr : std::make_unique<XdgAutostart>()),
      m_ownShellFolder(m_options.shellFolder
                           ? nullptr
                           : std::make_unique<DesktopShellFolder>(InstalledIconPath(),
                                                                  QCoreApplication::applicationDirPath())),
      m_shellFolder(m_options.shellFolder ? m_options.shellFolder : m_ownShellFolder.get()),
      m_service(m_options.autostart ? *m_options.autostart : *m_ownAutostart, m_options.serviceManager),
      m_flow(*m_ui, *this),
      m_trayIcon(*m_tray),
      m_launcher(m_options.launcher),
      m_folderPicker(m_options.folderPicker),
      m_updater(m_options.updater),
      m_deviceLogins([this](uint32_t id, bool accepted) {
                       ConnectResult result{id, static_cast<uint8_t>(accepted ? 1 : 0)};
                       OnConnectResult(&result);
                     },
                     [this](int state) {
                       m_flow.SetMobileState(state);
                       RefreshStatus();
                       // The log-on poll pauses while questions wait; it resumes now.
                       if (state != kMobileAwaitingApproval && !m_exiting && !m_pollTimer.isActive()) {
                         m_pollTimer.start(kLogOnPollMs);
                       }
                     },
                     {.refuseAge = m_options.deviceLoginRefuseAge, .cap = kDeviceLoginQueueCap}) {
  g_pSettingDlg = this;
  setObjectName(QStringLiteral("TirvanSettingDlg"));
  setWindowIcon(Icon(128));
  SetBackgroundImage(kFace);
  SetPageTop(CaptionHeight() + 111);
  setFixedSize(484, 426);

  // The service runs whenever the program does: started now, watched every period.
  m_service.onRightsMissing = [this](const QString& text) {
    ShowDiyMessageBox(m_languages.get(),
                      m_languages->GetString("MESSAGEBOX", "MSGBOX_SERVICEFAIL") + QStringLiteral("\n") + text,
                      m_languages->GetString("UI", "DIALOG_TITLE"), 0);
  };
  m_service.onMarkedForDelete = [this] { m_flow.OnServiceMarkedForDelete(); };
  m_watchdog.setInterval(m_options.watchdogMs);
  connect(&m_watchdog, &QTimer::timeout, this, [this] { WatchdogTick(); });
  m_watchdog.start();
  m_service.SyncServiceStartType();
  m_service.StartService();

  m_pollTimer.setSingleShot(true);
  connect(&m_pollTimer, &QTimer::timeout, this, [this] { LogOnPollTick(); });
  m_deviceLoginTimer.setInterval(m_options.deviceLoginTickMs);
  connect(&m_deviceLoginTimer, &QTimer::timeout, this, [this] { DeviceLoginTick(); });
  m_deviceLoginTimer.start();

  BuildTabs();
  BuildAccountPage();
  BuildMenus();
  m_languages->AddListener(this);
  LoadTexts();

  m_trayIcon.SetOwner([this](TrayActivation how) { OnTrayActivated(how); });
  QString tip = m_languages->GetString("UI", "DIALOG_TITLE");
  m_trayAvailable = m_trayIcon.SetIcon(Icon(kIconNotLoggedOn), &tip);
  if (auto* qt = dynamic_cast<QtTrayBackend*>(m_tray)) qt->SetContextMenu(m_menuLoggedOff);

  m_ui->SetCallback(this);
  m_login = new CLoginDlg(m_shell);
  m_login->setWindowIcon(Icon(128));
  m_login->SetCallback(this);
  m_login->hide();

  m_updater.SetCallback(this);
  m_updater.SetAskFunction(m_options.askUpdate ? m_options.askUpdate : CUpdater::AskFunction(AskUpdateNotice));
  // The automatic check starts once the program is up, so it costs the start nothing.
  if (m_options.checkForUpdates) {
    QTimer::singleShot(m_options.updateCheckDelayMs, this, [this] { m_updater.StartCheck(true); });
  }

  // The first posted event of the loop shows the release notes after an update, runs the
  // first-run wizard, then logs on.
  QTimer::singleShot(0, this, [this] {
    ShowUpdateFinishOnce();
    RunSetupWizardOnce();
    if (m_exiting) return;  // the program ended while the wizard ran
    m_flow.StartUpLogOn();
    if (!m_trayAvailable && m_options.showWhenNoTray) {
      // No tray to reach the program from: its window shows instead.
      qInfo("no system tray: the settings window is shown");
      if (!m_login->isVisible()) ShowSettings();
    }
  });
}

CSettingDlg::~CSettingDlg() {
  m_updater.Stop();
  StartInstallerAtExit();
  m_ui->ClearCallback();
  m_languages->RemoveListener(this);
  delete m_login;
  if (!m_options.service) m_ui->Release();
  if (g_pSettingDlg == this) g_pSettingDlg = nullptr;
}

void CSettingDlg::BuildTabs() {
  struct Tab {
    int id;
    QRect rect;
    const char* font;
    int picture;  // the tab's face while it is not selected
  };
  const Tab tabs[] = {{1138, QRect(QPoint(1, 156), QPoint(121, 186)), "FONT_UI_SETTING_BUTTON", 308},
                      {1049, QRect(QPoint(122, 156), QPoint(242, 186)), "FONT_UI_SHARE_BUTTON", 311},
                      {1133, QRect(QPoint(243, 156), QPoint(363, 186)), "FONT_UI_SETTING_BUTTON", 308},
                      {1048, QRect(QPoint(364, 156), QPoint(484, 186)), "FONT_UI_SETTING_BUTTON", 310}};
  for (int i = 0; i < 4; ++i) {
    auto* tab = new CSettingButton(this);
    tab->setObjectName(QString::number(tabs[i].id));
    tab->setGeometry(tabs[i].rect);
    QFont f = font();
    SetLanguageFont(f, tabs[i].font, false, logicalDpiY());
    tab->SetButtonFont(f);
    m_tabPictures[i] = tabs[i].picture;
    m_tabs[i] = tab;
  }
  connect(m_tabs[0], &QAbstractButton::clicked, this, [this] { SelectAccountTab(); });
}

void CSettingDlg::BuildAccountPage() {
  QFont status = font(), button = font(), link = font();
  SetLanguageFont(status, "FONT_SETTING_ACCOUNT", false, logicalDpiY());
  SetLanguageFont(button, "FONT_SETTING_BUTTON", false, logicalDpiY());
  SetLanguageFont(link, "FONT_LOGIN_REGISTER", true, logicalDpiY());
  m_accountText = new CDiyStatic(this);
  m_accountText->setObjectName(QStringLiteral("1137"));
  m_accountText->SetStaticFont(status);
  m_accountText->SetTextColor(0xFF323232);
  m_accountText->setGeometry(40, 220, 400, 24);

  m_changePassword = new CLoginLink(this);
  m_changePassword->setObjectName(QStringLiteral("1063"));
  m_changePassword->SetLinkFont(link);
  m_changePassword->SetTarget(ChangePasswordUrl(CurrentWebConfig()));
  m_changePassword->setGeometry(40, 256, 200, 20);
  connect(m_changePassword, &QAbstractButton::clicked, this,
          [this] { m_shell->OpenUrl(m_changePassword->Target()); });

  m_switchAccount = new CColorButton(this);
  m_switchAccount->setObjectName(QStringLiteral("1135"));
  m_switchAccount->SetPictures(340, 341, 341, 340);
  m_switchAccount->SetTextColor(0xFF41799C);
  m_switchAccount->SetButtonFont(button);
  m_switchAccount->setGeometry(40, 300, 89, 30);
  connect(m_switchAccount, &QAbstractButton::clicked, this, [this] { m_flow.OnSwitchAccount(); });
  SelectAccountTab();
}

void CSettingDlg::BuildMenus() {
  m_menuLoggedOn = new CDiyMenu(this);
  m_menuLoggedOn->LoadMenu(139);
  m_menuLoggedOff = new CDiyMenu(this);
  m_menuLoggedOff->LoadMenu(145);
  for (CDiyMenu* menu : {m_menuLoggedOn, m_menuLoggedOff}) {
    connect(menu, &CDiyMenu::CommandTriggered, this, [this](unsigned command) { OnMenuCommand(command); });
  }
}

void CSettingDlg::LoadTexts() {
  if (!m_languages->IsLoaded()) {
    m_languages->SelectSystemLanguage();
    return;
  }
  m_textsApplied = true;
  SetTitleText(m_languages->GetString("UI", "DIALOG_TITLE"));
  const char* tabKeys[] = {"SETTING_BUTTON_ACCOUNT", "SETTING_BUTTON_SHARE", "SETTING_BUTTON_TRANS",
                           "SETTING_BUTTON_SETTING"};
  for (int i = 0; i < 4; ++i) m_tabs[i]->SetButtonText(m_languages->GetString("UI", tabKeys[i]));
  m_switchAccount->SetButtonText(m_languages->GetString("UI", "SETTING_BUTTON_SWITCH_ACCOUNT"));
  m_changePassword->setText(m_languages->GetString("UI", "SETTING_LINK_CHANGEPASSWORD"));
  ShowAccount(QString::fromUtf8(m_flow.savedLogin().account,
                                static_cast<int>(strnlen(m_flow.savedLogin().account, 31))));
  const char* menuKeys[][2] = {{"32784", "TRAYMENU_SHAREMANAGE"}, {"32810", "TRAYMENU_OPENFOLDER"},
                               {"32816", "TRAYMENU_MOBILE_OUTLINE"}, {"32827", "TRAYMENU_AP"},
                               {"32817", "TRAYMENU_DOWNLOAD"},     {"32786", "TRAYMENU_UPDATE"},
                               {"32818", "TRAYMENU_HELP"},         {"32822", "TRAYMENU_FEEFBACK"},
                               {"32806", "TRAYMENU_ABOUT"},        {"32788", "TRAYMENU_CHANGACCOUNT"},
                               {"32787", "TRAYMENU_EXIT"}};
  for (CDiyMenu* menu : {m_menuLoggedOn, m_menuLoggedOff}) {
    for (auto& [id, key] : menuKeys) {
      menu->ModifyItem(static_cast<unsigned>(std::atoi(id)), m_languages->GetString("UI", key));
    }
  }
  update();
}

void CSettingDlg::OnLanguageChanged() {
  m_textsApplied = false;
  update();
}

void CSettingDlg::paintEvent(QPaintEvent* event) {
  if (!m_textsApplied) LoadTexts();
  CDiyDialog::paintEvent(event);
}

void CSettingDlg::SelectAccountTab() {
  for (int i = 0; i < 4; ++i) m_tabs[i]->SetBackgroundPicture(i == 0 ? 338 : m_tabPictures[i]);
  for (QWidget* w : std::initializer_list<QWidget*>{m_accountText, m_changePassword, m_switchAccount}) {
    if (w) w->show();
  }
  update();
}

void CSettingDlg::closeEvent(QCloseEvent* event) {
  // Closing only hides: the program runs on in the tray.
  event->ignore();
  hide();
}

void CSettingDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    hide();
    return;
  }
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
  CDiyDialog::keyPressEvent(event);
}

void CSettingDlg::ShowSettings() {
  if (m_login->isVisible()) {
    m_login->raise();
    m_login->activateWindow();
    return;
  }
  show();
  raise();
  activateWindow();
}

void CSettingDlg::OnTrayActivated(TrayActivation how) {
  if (how != TrayActivation::LeftClick && how != TrayActivation::DoubleClick) return;
  // A waiting device login comes first: the service waits for its answer.
  if (ShowDeviceLoginRequest()) return;
  ShowSettings();
}

void CSettingDlg::OnMenuCommand(unsigned command) {
  switch (command) {
    case kCmdShareManage:
      ShowSettings();
      break;
    case kCmdExit:
      OnExit();
      break;
    case kCmdUpdate:
      hide();
      if (!m_updater.StartCheck(false)) qInfo("an update check runs already");
      break;
    case kCmdChangeAccount:
      m_flow.OnSwitchAccount();
      break;
    case kCmdAbout: {
      CAboutDlg about(m_shell);
      m_aboutDlg = &about;
      about.exec();
      m_aboutDlg = nullptr;
      break;
    }
    case kCmdOpenFolder:
      if (!m_dataBase.isEmpty()) m_shell->OpenFolder(JoinFolder(m_dataBase, QLatin1String(kDataFolderName), '/'));
      break;
    case kCmdDownload:
      m_shell->OpenUrl(DownloadPageUrl(CurrentWebConfig()));
      break;
    case kCmdHelp:
      m_shell->OpenUrl(FaqPageUrl(CurrentWebConfig()));
      break;
    case kCmdFeedback:
      m_shell->OpenUrl(FeedbackPageUrl(CurrentWebConfig()));
      break;
    default:
      break;
  }
}

void CSettingDlg::OnExit() {
  if (m_exiting) return;
  m_exiting = true;
  hide();
  m_login->hide();
  m_watchdog.stop();
  m_deviceLoginTimer.stop();
  m_service.SyncServiceStartType();
  m_service.StopService();
  qInfo("Tirvan exits");
  // exit, not quit: quit would first ask the windows to close, which they refuse.
  QCoreApplication::exit(0);
}

void CSettingDlg::OnLogOn(LoginInfo* record, int hash) {
  if (record) m_flow.OnLogOn(*record, hash);
}

void CSettingDlg::OnLogOnCancel() {
  RefreshStatus();
  hide();
}

void CSettingDlg::OnShareFolder(const std::string& path) {
  m_shares.push_back(path);
  qInfo("shared: %s", path.c_str());
}

void CSettingDlg::OnTransLog(const TransLogRecord& record) { m_transLog.push_back(record); }

void CSettingDlg::OnDeviceLoginRequest(const DeviceLoginInfo* info) {
  // The record lives during this call only: a copy goes to the GUI thread's queue.
  if (!info) return;
  qInfo("a device asks to log in: %.64s", info->sender);
  m_deviceLoginInbox.Put(*info);
  QMetaObject::invokeMethod(this, [this] { QueueDeviceLoginRequests(); }, Qt::QueuedConnection);
}

void CSettingDlg::QueueDeviceLoginRequests() {
  for (const DeviceLoginInfo& info : m_deviceLoginInbox.Drain()) m_deviceLogins.Add(info);
}

bool CSettingDlg::ShowDeviceLoginRequest() {
  if (m_connectDlg) {  // one question at a time
    m_connectDlg->raise();
    m_connectDlg->activateWindow();
    return true;
  }
  std::optional<DeviceLoginInfo> info = m_deviceLogins.TakeOldest();
  if (!info) return false;
  CConnectDlg dlg(*info, m_options.deviceLoginRefuseAge);
  dlg.SetCallback(this);
  m_connectDlg = &dlg;
  dlg.exec();
  m_connectDlg = nullptr;
  return true;
}

void CSettingDlg::DeviceLoginTick() {
  m_deviceLogins.Tick();
  if (m_connectDlg) m_connectDlg->Tick();
}

void CSettingDlg::OnConnectResult(const ConnectResult* result) {
  if (!result || !m_ui) return;
  qInfo("device login %u %s", result->id, result->accepted ? "admitted" : "refused");
  m_ui->ReplyDeviceLogin(result);
}

void CSettingDlg::OnNetworkDown() {
  QMetaObject::invokeMethod(this, [this] { m_flow.OnNetworkDown(); }, Qt::QueuedConnection);
}

void CSettingDlg::OnNetworkUp() {
  QMetaObject::invokeMethod(this, [this] { m_flow.OnNetworkUp(); }, Qt::QueuedConnection);
}

void CSettingDlg::ShowMessage(const char* key) {
  ShowDiyMessageBox(m_languages.get(), m_languages->GetString("MESSAGEBOX", key),
                    m_languages->GetString("UI", "DIALOG_TITLE"), 0);
}

void CSettingDlg::ShowBalloon(const char* key) {
  m_trayIcon.ShowBalloon(m_languages->GetString("MESSAGEBOX", key), m_languages->GetString("UI", "DIALOG_TITLE"));
}

void CSettingDlg::ShowLoginWindow(const LoginInfo* saved) {
  if (saved) m_login->SetSavedLogin(*saved);
  m_login->OnEnSetfocusPassword();
  m_login->show();
  m_login->raise();
  m_login->activateWindow();
}

void CSettingDlg::FillLoginWindow(const LoginInfo& saved) { m_login->SetSavedLogin(saved); }

void CSettingDlg::HideLoginWindow() { m_login->hide(); }

void CSettingDlg::ShowAccount(const QString& account) {
  if (account.isEmpty()) return;
  SetTitleText(account);
  QString label = m_languages->GetString("UI", "SETTING_STATIC_ACCOUNT");
  setWindowTitle(QStringLiteral("Tirvan ") + label + account);
  m_accountText->setText(label + account);
}

void CSettingDlg::RefreshStatus() {
  int icon = kIconNotLoggedOn;
  bool online = false;
  if (m_flow.networkUp() && !m_flow.switching()) {
    if (m_flow.logOnState() == kLoggedOn) icon = kIconLoggedOn;
    if (m_flow.mobileState() >= kMobileIdle && m_flow.mobileState() <= kMobileDownloading) {
      icon = kIconDeviceOnline;
      online = true;
    }
  }
  if (m_flow.mobileState() == kMobileAwaitingApproval) icon = kIconDeviceLoginWaits;
  QString tip = m_languages->GetString("UI", "DIALOG_TITLE");
  m_trayIcon.SetIcon(Icon(icon), &tip);
  bool loggedOn = m_flow.logOnState() == kLoggedOn && !m_flow.switching();
  if (auto* qt = dynamic_cast<QtTrayBackend*>(m_tray)) qt->SetContextMenu(loggedOn ? m_menuLoggedOn : m_menuLoggedOff);
  for (CDiyMenu* menu : {m_menuLoggedOn, m_menuLoggedOff}) {
    menu->SetOnlineMark(online);
    menu->ModifyItem(kCmdMobileLine,
                     m_languages->GetString("UI", online ? "TRAYMENU_MOBILE_ONLINE" : "TRAYMENU_MOBILE_OUTLINE"));
  }
}

void CSettingDlg::ApplyDataFolder(const std::string& def) {
  m_dataBase = BaseOfDataFolder(QString::fromStdString(def), QLatin1Char('/'));
  qInfo("the data folder is %s", def.c_str());
}

void CSettingDlg::NoDataFolder() { SetDataBase(DefaultBase()); }

void CSettingDlg::SetDataBase(const QString& base) {
  DataFolderContext context{*m_ui, *m_languages.get(), m_files, *m_shellFolder};
  DataFolderResult result = SetDataFolderBase(context, m_dataBase, base);
  if (result.sent) m_dataBase = base;
  if (!result.messageKey.isEmpty()) {
    QString text = m_languages->GetString("MESSAGEBOX", result.messageKey.toUtf8().constData());
    if (!result.detail.isEmpty()) text += QStringLiteral("\n") + result.detail;
    ShowDiyMessageBox(m_languages.get(), text, m_languages->GetString("UI", "DIALOG_TITLE"), 0);
  }
}

void CSettingDlg::ClearFetchedRows() {
  m_shares.clear();
  m_transLog.clear();
}

bool CSettingDlg::ConfirmSwitch() {
  CSwitchAccountDlg dialog(this);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace tray
