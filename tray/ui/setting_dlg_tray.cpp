// The tray side of CSettingDlg: the icon with its status and animation, the clicks and
// the two menus with their commands, the network going down and up, the banner strip,
// and the hotspot dialog.
#include "setting_dlg.h"

#include <QCursor>

#include "about_dlg.h"
#include "ap_dlg.h"
#include "diy_menu.h"
#include "html_dlg.h"
#include "login_dlg.h"
#include "reporting_shell.h"
#include "shell.h"
#include "skin_pictures.h"
#include "tray_status.h"
#include "web_config.h"

namespace tray {

namespace {

constexpr int kBannerStripWidth = 483;
constexpr int kBannerStripHeight = 113;

QIcon TrayPicture(int id) {
  QPixmap pixmap(QStringLiteral(":/icon/%1.png").arg(id));
  if (pixmap.isNull()) pixmap = LoadPngResource(id);
  return QIcon(pixmap);
}

}  // namespace

void CSettingDlg::BuildMenus() {
  m_menuLoggedOn = new CDiyMenu(this);
  m_menuLoggedOn->LoadMenu(kTrayMenuLoggedOn);
  m_menuLoggedOff = new CDiyMenu(this);
  m_menuLoggedOff->LoadMenu(kTrayMenuLoggedOff);
  for (CDiyMenu* menu : {m_menuLoggedOn, m_menuLoggedOff}) {
    // A waiting device login gets the first row, so that trays which send no clicks of
    // their own still reach it; it shows only while a question waits.
    QAction* first = menu->actions().value(0);
    QAction* item = menu->AddItem(kCmdDeviceLogin);
    QAction* separator = menu->AddSeparatorItem();
    separator->setObjectName(QStringLiteral("deviceLoginSeparator"));
    for (QAction* a : {item, separator}) {
      menu->removeAction(a);
      menu->insertAction(first, a);
      a->setVisible(false);
    }
    menu->EnableItem(kCmdMobileLine, false);
    connect(menu, &CDiyMenu::CommandTriggered, this, [this](unsigned command) { OnMenuCommand(command); });
  }
}

void CSettingDlg::SetUpTray() {
  connect(&m_trayAnimTimer, &QTimer::timeout, this, [this] { TrayAnimationTimerProc(); });
  if (m_options.adapters) {
    m_adapters = m_options.adapters;
  } else {
    m_ownAdapters = std::make_unique<SysfsAdapterProbe>();
    m_adapters = m_ownAdapters.get();
  }
  if (m_options.hostedNetwork) {
    m_hostedNetwork = m_options.hostedNetwork;
  } else {
    m_ownHostedNetwork = std::make_unique<NmcliHostedNetwork>();
    m_hostedNetwork = m_ownHostedNetwork.get();
  }
}

bool CSettingDlg::SetTrayIcon(int id, const QString& tip) {
  m_trayIconId = id;
  return m_trayIcon.SetIcon(TrayPicture(id), &tip);
}

CDiyMenu* CSettingDlg::TrayMenu() const {
  return TrayMenuFor(m_flow.logOnState(), m_flow.switching()) == kTrayMenuLoggedOn ? m_menuLoggedOn
                                                                                   : m_menuLoggedOff;
}

void CSettingDlg::RefreshStatus() {
  const TrayStatus s =
      tray::RefreshStatus({m_flow.logOnState(), m_flow.mobileState(), m_flow.networkUp(), m_flow.switching()});
  UpdateDeviceLoginItems();
  // Where the tray draws the menu itself, it shows the one the state calls for.
  if (auto* qt = dynamic_cast<QtTrayBackend*>(m_tray)) qt->SetContextMenu(TrayMenu());
  if (!s.changes) return;
  if (s.icon) SetTrayIcon(s.icon, m_languages->GetString("UI", s.tipKey));
  if (s.animation == TrayAnimation::kStart) {
    m_trayAnimTimer.start(s.periodMs);
  } else if (s.animation == TrayAnimation::kStop) {
    m_trayAnimTimer.stop();
  }
  if (s.menuLineKey) {
    const QString line = m_languages->GetString("UI", s.menuLineKey);
    for (CDiyMenu* menu : {m_menuLoggedOn, m_menuLoggedOff}) {
      menu->ModifyItem(kCmdMobileLine, line);
      menu->EnableItem(kCmdMobileLine, false);
      menu->SetOnlineMark(s.onlineMark);
    }
  }
}

void CSettingDlg::TrayAnimationTimerProc() {
  const TrayFrame f = AnimationFrame(m_flow.mobileState(), m_flow.logOnState(), m_trayAnimFrame);
  if (!f.ticks) return;
  if (f.icon) SetTrayIcon(f.icon, QString::fromLatin1(f.tip));
  m_trayAnimFrame = f.nextFrame;
}

void CSettingDlg::OnDeviceLoginState(int state) {
  const bool first = state == kMobileAwaitingApproval && m_flow.mobileState() != kMobileAwaitingApproval;
  m_flow.SetMobileState(state);
  RefreshStatus();
  if (first) {
    // The notification offers the question too: a click on it shows the question.
    m_trayIcon.ShowBalloon(m_languages->GetString("MESSAGEBOX", "MSGBOX_DEVICELOGIN"),
                           m_languages->GetString("UI", "DIALOG_TITLE"));
  }
  // The log-on poll pauses while questions wait; it resumes now.
  if (state != kMobileAwaitingApproval && !m_exiting && !m_pollTimer.isActive()) m_pollTimer.start(kLogOnPollMs);
}

void CSettingDlg::UpdateDeviceLoginItems() {
  const bool waits = !m_deviceLogins.empty();
  const QString text = m_languages->GetString("UI", "TRAYMENU_DEVICELOGIN");
  for (CDiyMenu* menu : {m_menuLoggedOn, m_menuLoggedOff}) {
    if (!menu) continue;
    menu->ModifyItem(kCmdDeviceLogin, text);
    if (QAction* item = menu->Action(kCmdDeviceLogin)) item->setVisible(waits);
    if (auto* separator = menu->findChild<QAction*>(QStringLiteral("deviceLoginSeparator"))) {
      separator->setVisible(waits);
    }
  }
}

void CSettingDlg::OnTrayActivated(TrayActivation how) {
  // One press on the icon can arrive twice, as a click on the notification shown beside it
  // and as a left click: once it showed a question, it does nothing more.
  if ((how == TrayActivation::LeftClick || how == TrayActivation::BalloonClick) && m_clickShowedQuestion) return;
  switch (how) {
    case TrayActivation::LeftClick:
      switch (RouteLeftClick(!m_deviceLogins.empty() || m_connectDlg, m_bBusy, m_flow.logOnState())) {
        case TrayClick::kShowDeviceLogin:
          if (ShowDeviceLoginRequest()) EndClickWithQuestion();
          break;
        case TrayClick::kNothing:
          break;
        case TrayClick::kOpenRoot:
          OnMenuCommand(kCmdOpenFolder);
          break;
        case TrayClick::kRaiseLogin:
          RaiseLoginWindow();
          break;
      }
      break;
    case TrayActivation::RightClick:
      ShowTrayMenu();
      break;
    case TrayActivation::BalloonClick:
      if (ShowDeviceLoginRequest()) EndClickWithQuestion();
      break;
    default:  // a double click follows a left click, which did the work
      break;
  }
}

void CSettingDlg::EndClickWithQuestion() {
  // The rest of the same press is delivered before the loop turns again.
  m_clickShowedQuestion = true;
  QTimer::singleShot(0, this, [this] { m_clickShowedQuestion = false; });
}

void CSettingDlg::ShowTrayMenu() {
  if (!m_textFlags.menuTextsApplied) SetTrayMenuTexts();
  UpdateDeviceLoginItems();
  m_shownMenu = TrayMenu();
  if (auto* qt = dynamic_cast<QtTrayBackend*>(m_tray)) {
    qt->SetContextMenu(m_shownMenu);  // the tray opens it
    return;
  }
  m_shownMenu->popup(QCursor::pos());
}

void CSettingDlg::RaiseLoginWindow() {
  CLoginDlg* login = LoginWindow();
  login->show();
  login->raise();
  login->activateWindow();
}

void CSettingDlg::OnMenuCommand(unsigned command) {
  switch (command) {
    case kCmdShareManage:
      ShowSettingsPage(kPageShares);
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
    case kCmdHotspot:
      ShowHostedNetworkDialog();
      break;
    case kCmdDeviceLogin:
      ShowDeviceLoginRequest();
      break;
    case kCmdOpenFolder:
      if (!m_dataBase.isEmpty()) m_shell->OpenFolder(JoinFolder(m_dataBase, QLatin1String(kDataFolderName), '/'));
      break;
    case kCmdDownload:
      m_shell->OpenUrl(DownloadPageUrl(CurrentWebConfig()));
      break;
    case kCmdHelp:
      m_reportingShell->OpenHelp(FaqPageUrl(CurrentWebConfig()), m_languages->GetLanguage());
      break;
    case kCmdFeedback:
      m_shell->OpenUrl(FeedbackPageUrl(CurrentWebConfig()));
      break;
    default:  // the status line, and anything unknown
      break;
  }
}

void CSettingDlg::ShowHostedNetworkDialog() {
  if (m_apDlg) {
    m_apDlg->raise();
    m_apDlg->activateWindow();
    return;
  }
  CApDlg dialog(*m_adapters, *m_hostedNetwork);
  m_apDlg = &dialog;
  dialog.exec();
  m_apDlg = nullptr;
}

void CSettingDlg::OnNetworkDown() {
  QMetaObject::invokeMethod(this, [this] { m_flow.OnNetworkDown(); }, Qt::QueuedConnection);
}

void CSettingDlg::OnNetworkUp() {
  QMetaObject::invokeMethod(this, [this] { m_flow.OnNetworkUp(); }, Qt::QueuedConnection);
}

void CSettingDlg::ShowBanner() {
  if (m_banner) return;
  m_banner = new CHtmlDlg(this);
  m_banner->setObjectName(QStringLiteral("banner"));
  m_banner->SetShell(m_shell);
  m_banner->SetLanguage(m_languages->GetLanguage());
  m_banner->SetStripSize(QSize(kBannerStripWidth, kBannerStripHeight));
  m_banner->move(1, CaptionHeight());
  m_banner->show();
  m_banner->raise();
  m_banner->NavigateUrl(BannerUrl(CurrentWebConfig(), m_languages->GetLanguage()), false);
}

void CSettingDlg::RefreshBanner() {
  if (!m_banner) return;
  m_banner->SetLanguage(m_languages->GetLanguage());
  m_banner->NavigateUrl(BannerUrl(CurrentWebConfig(), m_languages->GetLanguage()), false);
}

}  // namespace tray
