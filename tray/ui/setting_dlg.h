// CSettingDlg, the tray program's main window and central object. It stays hidden but for
// when the user opens the settings; it owns the tray icon with its menus, the login
// window, the log-on flow and the service's control (the watchdog and the start type),
// and it hands the service client's callbacks from their threads to the GUI thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "autostart.h"
#include "connect_dlg.h"
#include "data_folder.h"
#include "device_login_queue.h"
#include "diy_dialog.h"
#include "folder_picker.h"
#include "hosted_network.h"
#include "languages.h"
#include "login_info.h"
#include "logon_flow.h"
#include "service_control.h"
#include "settings_page_logic.h"
#include "tray_icon.h"
#include "ui_data.h"
#include "updater.h"

namespace tray {

class CMoveDlg;

class CAboutDlg;
class CApDlg;
class CHtmlDlg;
class IProcessLauncher;
class CDiyMenu;
class CDiyStatic;
class CColorButton;
class CLoginDlg;
class CLoginLink;
class CSettingButton;
class CSharePage;
class CTransLogPage;
class CSettingsPage;
class CWizardDlg;
class IFolderPicker;
class IShellOpen;
class ReportingShell;
class SettingWizardTarget;

struct SettingDlgOptions {
  IUIData* service = nullptr;        // AcquireUIData() when none
  IShellOpen* shell = nullptr;       // the desktop's when none
  ITrayBackend* tray = nullptr;      // the desktop's tray when none
  IAutostart* autostart = nullptr;   // the session's autostart entry when none
  QString programPath;               // what the autostart entry starts; this program when empty
  IShellIntegration* shellFolder = nullptr;  // the desktop's when none
  IFolderPicker* folderPicker = nullptr;     // the pages' and the wizard's; QFileDialog when none
  ServiceControl::Opener serviceManager;     // the platform's when empty
  int watchdogMs = kServiceWatchdogMs;
  bool checkForUpdates = true;  // the automatic update check at start
  int updateCheckDelayMs = 3000;
  UpdaterOptions updater;            // the update checker's folder, version and limits
  CUpdater::AskFunction askUpdate;   // the new-version question (CUpdateNoticeDlg) when empty
  IProcessLauncher* launcher = nullptr;   // the installer and nmcli at exit; QProcess when none
  // Where the desktop has no tray the settings window shows at start, so the program
  // stays within reach.
  bool showWhenNoTray = true;
  // A device-login question not answered in this many ticks of the timer is refused.
  int deviceLoginRefuseAge = kDeviceLoginRefuseAge;
  int deviceLoginTickMs = 1000;
  IAdapterProbe* adapters = nullptr;       // /sys/class/net when none
  IHostedNetwork* hostedNetwork = nullptr;  // nmcli when none
};

class CSettingDlg : public CDiyDialog,
                    public ICLoginDlgCallback,
                    public IUIDataCallBack,
                    public ILanguageCallBack,
                    public ILogonView,
                    public IUpdateCallback,
                    public IConnectDlgCallBack {
  Q_OBJECT

 public:
  static constexpr int kTemplate = 129;
  enum Command : unsigned {
    kCmdShareManage = 32784,
    kCmdUpdate = 32786,
    kCmdExit = 32787,
    kCmdChangeAccount = 32788,
    kCmdAbout = 32806,
    kCmdOpenFolder = 32810,
    kCmdMobileLine = 32816,
    kCmdDownload = 32817,
    kCmdHelp = 32818,
    kCmdFeedback = 32822,
    kCmdHotspot = 32827,
    kCmdDeviceLogin = 32900,  // shown while a device-login question waits
  };
  // The pages, in the order of their tabs.
  enum PageIndex : int { kPageAccount = 0, kPageShares = 1, kPageTransLog = 2, kPageSettings = 3 };

  explicit CSettingDlg(SettingDlgOptions options = {});
  ~CSettingDlg() override;

  // The exit sequence: hide, stop the timers, keep the start type, stop the service, end
  // the program's loop.
  void OnExit();
  // The release notes, once, at the first start after an update was downloaded.
  void ShowUpdateFinishOnce();
  // The first-run wizard, once per user: when the settings file exists and its SetupWizard
  // is missing or 0; afterwards SetupWizard is 1, however the wizard ended.
  void RunSetupWizardOnce();
  // The first-run wizard runs: the tray's clicks wait.
  bool Busy() const { return m_bBusy; }
  // The wizard, while it runs.
  CWizardDlg* WizardWindow() const { return m_wizardDlg; }
  CUpdater& Updater() { return m_updater; }
  bool Exiting() const { return m_exiting; }
  // The exit was for an update: the checked installer starts as the dialog goes.
  bool RunInstaller() const { return m_runInstaller; }
  void ShowSettings();
  void OnMenuCommand(unsigned command);
  void OnTrayActivated(TrayActivation how);
  // The first-run wizard runs: clicks on the tray icon do nothing meanwhile, and the
  // update checker's windows wait.
  void SetBusy(bool busy);
  // The update checker's windows wait while the start-up's wizard and release notes are up.
  bool UpdatesHeld() const { return m_bBusy || !m_startedUp; }
  size_t HeldUpdateCount() const { return m_heldUpdates.size(); }

  // The tray icon's animation: one tick, for the timer and for tests.
  void TrayAnimationTimerProc();
  bool TrayAnimating() const { return m_trayAnimTimer.isActive(); }
  int TrayAnimationPeriod() const { return m_trayAnimTimer.interval(); }
  int TrayIconId() const { return m_trayIconId; }
  // The menu a right click opens now, and the one it opened last.
  CDiyMenu* TrayMenu() const;
  CDiyMenu* ShownTrayMenu() const { return m_shownMenu; }
  CDiyMenu* MenuLoggedOn() const { return m_menuLoggedOn; }
  CDiyMenu* MenuLoggedOff() const { return m_menuLoggedOff; }

  // The banner strip at the top of the settings window, made and fetched by the start-up
  // step of the loop's first pass (or the window's first show, if that comes first).
  void ShowBanner();
  void RefreshBanner();
  CHtmlDlg* Banner() const { return m_banner; }

  // The hotspot dialog, modal; the window while it runs.
  void ShowHostedNetworkDialog();
  CApDlg* HostedNetworkWindow() const { return m_apDlg; }

  // The dialog's texts in the language in force, and the tray menus' texts.
  void ApplyTexts();
  void SetTrayMenuTexts();
  const TextFlags& Flags() const { return m_textFlags; }

  // The settings page: the language combo's choice, and the autostart box's click applied
  // by OK (when clicked since the last apply) or forgotten by Cancel.
  void OnCbnSelchangeLanguage(int index);
  bool ApplyAutoStartIfChanged();
  void CancelAutoStart();
  const AutoStartSetting& AutoStart() const { return *m_autoStart; }
  // The settings page, made when first needed (its tab).
  CSettingsPage* SettingsPage() { return &Settings(); }

  // The timers' ticks, for the timers and for tests.
  void WatchdogTick() { m_service.Tick(); }
  void LogOnPollTick() { m_flow.PollTick(); }
  // Ages the waiting device-login questions and the one on screen.
  void DeviceLoginTick();

  // Takes the questions the transport handed over into the queue.
  void QueueDeviceLoginRequests();
  // Shows the oldest waiting question modally; false when none waits.
  bool ShowDeviceLoginRequest();
  const DeviceLoginQueue& DeviceLogins() const { return m_deviceLogins; }
  // The question on screen, while its dialog runs.
  CConnectDlg* ConnectWindow() const { return m_connectDlg; }
  // The about dialog, while it runs.
  CAboutDlg* AboutWindow() const { return m_aboutDlg; }

  // IConnectDlgCallBack
  void OnConnectResult(const ConnectResult* result) override;

  LogonFlow& Flow() { return m_flow; }
  CTrayIcon& TrayIcon() { return m_trayIcon; }
  // The login window, made when first needed (hidden until shown).
  CLoginDlg* LoginWindow();
  bool LoginWindowVisible() const;
  const QString& DataBase() const { return m_dataBase; }
  // The move of the data folder to another file system, while it runs.
  CMoveDlg* MoveWindow() const { return m_moveDlg.get(); }

  // The pages (setting_dlg_pages.cpp). A page's tab shows it; a click on the tab already
  // selected does nothing. The transfer log is fetched anew each time its page opens.
  void SelectPage(int page);
  int CurrentPage() const { return m_currentPage; }
  // The settings window with that page in front (the tray menu's settings command).
  void ShowSettingsPage(int page);
  // OK: the pending share changes to the service, then a chosen move of the data folder
  // and a changed autostart; the window hides. Cancel drops all of them and hides.
  void ApplyChanges();
  void OnBnClickedOk();
  void OnBnClickedCancel();
  // The move button of the settings page: the folder browser; a folder the data folder may
  // move to is applied by the next OK.
  void OnBnClickedMoveDataFolder();
  // The base the data-folder field shows: the chosen move's target, else the one in use.
  QString DataFolderText() const;
  // The settings page's autostart box changed; applied by OK, dropped by Cancel.
  void MarkAutoStartChanged();
  // The shares page, made when first needed: by the window's first show on it, a row the
  // service reports, or a change to apply.
  CSharePage* SharePage() { return &Shares(); }
  // The transfer-log page, made when first needed (its tab, a record to show).
  CTransLogPage* TransLogPage() { return &TransLog(); }
  CColorButton* OkButton() const { return m_ok; }
  CColorButton* CancelButton() const { return m_cancel; }
  bool TrayAvailable() const { return m_trayAvailable; }

  // ICLoginDlgCallback
  void OnLogOn(LoginInfo* record, int hash) override;
  void OnLogOnCancel() override;
  void OnLogOnExit() override { OnExit(); }
  void ReLogOn() override { m_flow.ReLogOn(); }

  // IUIDataCallBack (network and device calls come from other threads)
  void OnShareFolder(const std::string& path) override;
  void OnTransLog(const TransLogRecord& record) override;
  void OnPathItem(const std::string&) override {}
  void OnDeviceLoginRequest(const DeviceLoginInfo* info) override;
  void OnNetworkDown() override;
  void OnNetworkUp() override;

  // ILanguageCallBack
  void OnLanguageChanged() override;

  // ILogonView
  void ShowMessage(const char* key) override;
  void ShowBalloon(const char* key) override;
  void ShowLoginWindow(const LoginInfo* saved) override;
  void FillLoginWindow(const LoginInfo& saved) override;
  void HideLoginWindow() override;
  void HideSettings() override { hide(); }
  void ShowAccount(const QString& account) override;
  void RefreshStatus() override;
  void ApplyDataFolder(const std::string& def) override;
  void NoDataFolder() override;
  void ClearFetchedRows() override;
  bool ConfirmSwitch() override;
  void ArmPoll(int ms) override { m_pollTimer.start(ms); }

  void Minimize() override { hide(); }

  // IUpdateCallback (from the checker's thread: each hands over to the GUI thread)
  void NotifyInstall() override;
  void NotifyNoUpdate() override;
  void AskNotice() override;
  void NotifyDownloaded() override;
  void NotifyCheckFailed() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void accept() override {}
  void reject() override { hide(); }

 private:
  void BuildTabs();
  void BuildAccountPage();
  void BuildMenus();
  void SetUpTray();
  void OnDeviceLoginState(int state);
  void UpdateDeviceLoginItems();
  void ShowTrayMenu();
  void RaiseLoginWindow();
  bool SetTrayIcon(int id, const QString& tip);
  void BuildSettingsPage();
  void RefreshSettingsPage();
  void ApplyDialogFonts();
  void SelectAccountTab() { SelectPage(kPageAccount); }
  void SetDataBase(const QString& base);
  void OnDataBaseSet(const QString& base, const DataFolderResult& result);
  void BuildPages();
  CSharePage& Shares();
  CTransLogPage& TransLog();
  CSettingsPage& Settings();
  void PlacePage(QWidget* page, int index);
  void LoadPageTexts();
  // The data folder now lies in base: the root's row and the default folders follow.
  void ShowRootFolder(const QString& base);
  // At the dialog's end after an update: the installer, if its digest still holds.
  void StartInstallerAtExit();

  friend class SettingWizardTarget;

  SettingDlgOptions m_options;
  LanguagesRef m_languages;
  IUIData* m_ui;
  std::unique_ptr<IShellOpen> m_ownShell;
  IShellOpen* m_shell;  // the reporting shell over the given or own one
  std::unique_ptr<ReportingShell> m_reportingShell;
  std::unique_ptr<ITrayBackend> m_ownTray;
  ITrayBackend* m_tray;
  std::unique_ptr<IAutostart> m_ownAutostart;
  std::unique_ptr<IShellIntegration> m_ownShellFolder;
  IShellIntegration* m_shellFolder;
  std::unique_ptr<IFolderPicker> m_ownPicker;
  IFolderPicker* m_picker;
  RealFileOps m_files;
  std::unique_ptr<CMoveDlg> m_moveDlg;  // a move of the data folder across file systems
  ServiceControl m_service;
  LogonFlow m_flow;
  CTrayIcon m_trayIcon;
  bool m_trayAvailable = false;
  bool m_exiting = false;
  bool m_runInstaller = false;  // the verified installer starts as the program ends
  TextFlags m_textFlags;
  bool m_bBusy = false;  // the first-run wizard runs
  QStringList* m_shareCapture = nullptr;  // where the service's shares go instead of the page
  bool m_clickShowedQuestion = false;  // the press being delivered showed a question
  void EndClickWithQuestion();
  bool m_startedUp = false;  // the start-up's wizard and release notes are done
  // The update checker's windows that came while UpdatesHeld(), in their order.
  std::vector<std::function<void()>> m_heldUpdates;
  void WhenUpdatesShow(std::function<void()> show);
  void ShowHeldUpdates();
  CWizardDlg* m_wizardDlg = nullptr;
  std::unique_ptr<IProcessLauncher> m_ownLauncher;
  IProcessLauncher* m_launcher;

  CUpdater m_updater;
  QTimer m_watchdog;
  QTimer m_pollTimer;
  QTimer m_deviceLoginTimer;

  DeviceLoginInbox m_deviceLoginInbox;  // from the transport's threads
  DeviceLoginQueue m_deviceLogins;
  CConnectDlg* m_connectDlg = nullptr;
  CAboutDlg* m_aboutDlg = nullptr;

  QTimer m_trayAnimTimer;
  int m_trayAnimFrame = 0;  // never reset: the animations go on from the last frame
  int m_trayIconId = 0;
  CDiyMenu* m_shownMenu = nullptr;
  CHtmlDlg* m_banner = nullptr;
  std::unique_ptr<IAdapterProbe> m_ownAdapters;
  IAdapterProbe* m_adapters = nullptr;
  std::unique_ptr<IHostedNetwork> m_ownHostedNetwork;
  IHostedNetwork* m_hostedNetwork = nullptr;
  CApDlg* m_apDlg = nullptr;

  CLoginDlg* m_login = nullptr;  // made by LoginWindow()
  std::optional<LoginInfo> m_loginFill;  // what the login window shows once it is made
  CDiyMenu* m_menuLoggedOn = nullptr;
  CDiyMenu* m_menuLoggedOff = nullptr;
  CSettingButton* m_tabs[4] = {};
  int m_tabPictures[4] = {};
  CDiyStatic* m_accountText = nullptr;
  CLoginLink* m_changePassword = nullptr;
  CColorButton* m_switchAccount = nullptr;
  CSettingsPage* m_settingsPage = nullptr;
  std::unique_ptr<AutoStartSetting> m_autoStart;

  // The page widgets by page index; the account page's controls stand on the dialog. The
  // settings page puts its widget at kPageSettings and its autostart write in
  // m_applyAutoStart.
  QWidget* m_pageWidgets[4] = {};
  int m_currentPage = -1;
  CSharePage* m_sharePage = nullptr;
  CTransLogPage* m_transLogPage = nullptr;
  CColorButton* m_ok = nullptr;      // 1020
  CColorButton* m_cancel = nullptr;  // 1019
  std::function<void()> m_applyAutoStart;

  QString m_dataBase;  // the base folder of the data folder in use
};

// The one settings dialog, for the timers and the threads' hand-overs.
extern CSettingDlg* g_pSettingDlg;

}  // namespace tray
