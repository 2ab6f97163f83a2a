#include "setting_dlg.h"

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
#include "move_dlg.h"
#include "skin_buttons.h"
#include "skin_pictures.h"
#include "process.h"
#include "settings_page.h"
#include "reporting_shell.h"
#include "settings_store.h"
#include "switch_account_dlg.h"
#include "update_dlg.h"
#include "web_config.h"

namespace tray {

CSettingDlg* g_pSettingDlg = nullptr;

namespace {

constexpr int kFace = 337;
constexpr int kIconNotLoggedOn = 174;

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
      m_ownPicker(m_options.folderPicker ? nullptr : std::make_unique<QtFolderPicker>()),
      m_picker(m_options.folderPicker ? m_options.folderPicker : m_ownPicker.get()),
      m_service(m_options.autostart ? *m_options.autostart : *m_ownAutostart, m_options.serviceManager),
      m_flow(*m_ui, *this),
      m_trayIcon(*m_tray),
      m_launcher(m_options.launcher),
      m_updater(m_options.updater),
      m_deviceLogins([this](uint32_t id, bool accepted) {
                       ConnectResult result{id, static_cast<uint8_t>(accepted ? 1 : 0)};
                       OnConnectResult(&result);
                     },
                     [this](int state) { OnDeviceLoginState(state); },
                     {.refuseAge = m_options.deviceLoginRefuseAge, .cap = kDeviceLoginQueueCap}) {
  g_pSettingDlg = this;
  // Every window opens pages and folders through it: a failure is said, never silent.
  m_reportingShell = std::make_unique<ReportingShell>(*m_shell, m_languages.get(), QCoreApplication::applicationDirPath());
  m_shell = m_reportingShell.get();
  // The language the user chose last time, before anything shows a text.
  RestoreLanguage(*m_languages.get(), SettingsStore());
  setObjectName(QStringLiteral("TirvanSettingDlg"));
  setWindowIcon(Icon(128));
  SetBackgroundImage(kFace);
  SetPageTop(CaptionHeight() + 111);
  SetDecorationId(kTemplate);
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
  BuildPages();
  SelectPage(kPageShares);
  BuildMenus();
  SetUpTray();
  BuildSettingsPage();
  m_languages->AddListener(this);
  ApplyTexts();
  SetTrayMenuTexts();

  m_trayIcon.SetOwner([this](TrayActivation how) { OnTrayActivated(how); });
  QString tip = m_languages->GetString("UI", "DIALOG_TITLE");
  m_trayAvailable = SetTrayIcon(kIconNotLoggedOn, tip);
  if (auto* qt = dynamic_cast<QtTrayBackend*>(m_tray)) qt->SetContextMenu(m_menuLoggedOff);

  m_ui->SetCallback(this);
  // The login window is made when the log-on first shows it (LoginWindow).

  m_updater.SetCallback(this);
  m_updater.SetAskFunction(m_options.askUpdate ? m_options.askUpdate : CUpdater::AskFunction(AskUpdateNotice));
  // The automatic check starts once the program is up, so it costs the start nothing.
  if (m_options.checkForUpdates) {
    QTimer::singleShot(m_options.updateCheckDelayMs, this, [this] { m_updater.StartCheck(true); });
  }

  // The first posted event of the loop runs the first-run wizard, then shows the release
  // notes after an update and what the update checker said meanwhile, fetches the banner,
  // then logs on: all of it after the tray icon is up and the loop first idles.
  QTimer::singleShot(0, this, [this] {
    RunSetupWizardOnce();
    if (m_exiting) return;  // the program ended while the wizard ran
    ShowUpdateFinishOnce();
    m_startedUp = true;
    ShowHeldUpdates();
    ShowBanner();
    m_flow.StartUpLogOn();
    if (!m_trayAvailable && m_options.showWhenNoTray) {
      // No tray to reach the program from: its window shows instead.
      qInfo("no system tray: the settings window is shown");
      if (!LoginWindowVisible()) ShowSettings();
    }
  });
}

CSettingDlg::~CSettingDlg() {
  m_updater.Stop();
  StartInstallerAtExit();
  {
    // The hotspot is stopped only when this program started it: it may be the user's own.
    QtProcessLauncher launcher;
    StopHostedNetworkAtExit(m_options.launcher ? *m_options.launcher : launcher);
  }
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
  for (int i = 0; i < 4; ++i) connect(m_tabs[i], &QAbstractButton::clicked, this, [this, i] { SelectPage(i); });
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

CLoginDlg* CSettingDlg::LoginWindow() {
  if (m_login) return m_login;
  m_login = new CLoginDlg(m_shell);
  m_login->setWindowIcon(Icon(128));
  m_login->SetCallback(this);
  m_login->hide();
  if (m_loginFill) m_login->SetSavedLogin(*m_loginFill);
  m_loginFill.reset();
  return m_login;
}

bool CSettingDlg::LoginWindowVisible() const { return m_login && m_login->isVisible(); }

void CSettingDlg::ShowSettings() {
  if (LoginWindowVisible()) {
    m_login->raise();
    m_login->activateWindow();
    return;
  }
  ShowBanner();  // made at the start-up step; here only when the window shows before it
  Shares();
  show();
  raise();
  activateWindow();
}

void CSettingDlg::OnExit() {
  if (m_exiting) return;
  m_exiting = true;
  hide();
  if (m_login) m_login->hide();
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

void CSettingDlg::ShowMessage(const char* key) {
  ShowDiyMessageBox(m_languages.get(), m_languages->GetString("MESSAGEBOX", key),
                    m_languages->GetString("UI", "DIALOG_TITLE"), 0);
}

void CSettingDlg::ShowBalloon(const char* key) {
  m_trayIcon.ShowBalloon(m_languages->GetString("MESSAGEBOX", key), m_languages->GetString("UI", "DIALOG_TITLE"));
}

void CSettingDlg::ShowLoginWindow(const LoginInfo* saved) {
  CLoginDlg* login = LoginWindow();
  if (saved) login->SetSavedLogin(*saved);
  login->OnEnSetfocusPassword();
  login->show();
  login->raise();
  login->activateWindow();
}

void CSettingDlg::FillLoginWindow(const LoginInfo& saved) {
  if (m_login) {
    m_login->SetSavedLogin(saved);
  } else {
    m_loginFill = saved;
  }
}

void CSettingDlg::HideLoginWindow() {
  if (m_login) m_login->hide();
}

void CSettingDlg::ShowAccount(const QString& account) {
  if (account.isEmpty()) return;
  SetTitleText(account);
  QString label = m_languages->GetString("UI", "SETTING_STATIC_ACCOUNT");
  setWindowTitle(QStringLiteral("Tirvan ") + label + account);
  m_accountText->setText(label + account);
}


void CSettingDlg::NoDataFolder() { SetDataBase(DefaultBase()); }

void CSettingDlg::SetDataBase(const QString& base) {
  if (m_moveDlg && m_moveDlg->Running()) {
    qWarning("the data folder is being moved; %s is not taken", qUtf8Printable(base));
    return;
  }
  DataFolderContext context{*m_ui, *m_languages.get(), m_files, *m_shellFolder};
  const QString from = JoinFolder(m_dataBase, QLatin1String(kDataFolderName), QLatin1Char('/'));
  if (!m_dataBase.isEmpty() && m_files.IsDir(from) && !OnSameFileSystem(from, base)) {
    // A copy: on its own thread, with its progress shown; the page follows at its end.
    m_moveDlg = std::make_unique<CMoveDlg>(context, m_dataBase, base,
                                           [this, base](const DataFolderResult& r) { OnDataBaseSet(base, r); }, this);
    m_moveDlg->setWindowModality(Qt::ApplicationModal);
    m_moveDlg->show();
    m_moveDlg->Start();
    return;
  }
  OnDataBaseSet(base, SetDataFolderBase(context, m_dataBase, base));
}

void CSettingDlg::OnDataBaseSet(const QString& base, const DataFolderResult& result) {
  if (m_moveDlg) m_moveDlg.release()->deleteLater();
  if (result.sent) {
    m_dataBase = base;
    ShowRootFolder(base);
  }
  if (!result.messageKey.isEmpty()) {
    QString text = m_languages->GetString("MESSAGEBOX", result.messageKey.toUtf8().constData());
    if (!result.detail.isEmpty()) text += QStringLiteral("\n") + result.detail;
    ShowDiyMessageBox(m_languages.get(), text, m_languages->GetString("UI", "DIALOG_TITLE"), 0);
  }
}

bool CSettingDlg::ConfirmSwitch() {
  CSwitchAccountDlg dialog(this);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace tray
