#include "logon_flow.h"

#include <cstring>

namespace tray {

namespace {

// The account of a record, when its field holds one of 1 to 31 characters.
QString AccountOf(const LoginInfo& info) {
  size_t n = strnlen(info.account, sizeof info.account);
  if (n == 0 || n >= sizeof info.account) return {};
  return QString::fromUtf8(info.account, static_cast<int>(n));
}

bool FieldEmpty(const char* field, size_t size) { return strnlen(field, size) == 0; }

}  // namespace

void LogonFlow::StartUpLogOn() {
  m_view.HideSettings();
  FetchDataFolder();
  LoginInfo stored{};
  m_service.GetLogOnInfo(&stored);
  QString account = AccountOf(stored);
  if (!account.isEmpty()) {
    // The service logs on with its stored account by itself.
    m_saved = stored;
    m_view.ShowAccount(account);
    m_view.FillLoginWindow(m_saved);
    m_logOnState = kLoggingOn;
    m_view.RefreshStatus();
  } else {
    m_view.ShowLoginWindow(nullptr);
    m_view.HideSettings();
  }
  m_view.ArmPoll(kLogOnPollMs);
}

void LogonFlow::OnLogOn(const LoginInfo& info, int hash) {
  if (FieldEmpty(info.account, sizeof info.account) || FieldEmpty(info.password, sizeof info.password)) return;
  // Another account gets its own folders, shares and transfer log.
  if (std::strncmp(info.account, m_saved.account, sizeof info.account) != 0) m_fetched = false;
  m_switching = false;
  m_reportArmed = true;
  m_logOnState = kLoggingOn;
  m_saved = info;
  m_view.ShowAccount(AccountOf(m_saved));
  m_view.RefreshStatus();
  if (m_service.LogOn(&m_saved, hash) != 0) {
    // The password could not be hashed: nothing was sent, and the user is told.
    m_reportArmed = false;
    m_logOnState = kNoAccount;
    m_view.RefreshStatus();
    m_view.ShowMessage("MSGBOX_CRYPTFAIL");
    m_view.ShowLoginWindow(&m_saved);
    return;
  }
  m_view.HideLoginWindow();
  m_view.FillLoginWindow(m_saved);
}

void LogonFlow::PollTick() {
  if (m_mobileState == kMobileAwaitingApproval) return;
  int status = m_service.GetLogOnStatus();
  if (status == kNoReplyHead && m_logOnState == kLoggingOn) {
    m_view.ArmPoll(kLogOnPollSlowMs);
    return;
  }
  m_view.ArmPoll(kLogOnPollMs);
  if (status == kLoggedOn) {
    // Every success ends the attempt: a later failure of the service's own re-log-on is
    // shown by the icon only.
    m_reportArmed = false;
    if (m_logOnState != kLoggedOn && !m_fetched) FetchAfterLogOn();
  }
  if (m_logOnState != kLoggedOn && m_logOnState != kNoAccount && m_logOnState != kLoggingOn) {
    ReportLogOnFailure(m_logOnState);
  }
  m_logOnState = status;
  m_mobileState = m_service.GetMobileState();
  m_view.RefreshStatus();
}

void LogonFlow::FetchDataFolder() {
  std::string def;
  switch (m_service.GetDefShare(&def)) {
    case kDefShareSet:
      m_view.ApplyDataFolder(def);
      break;
    case kDefShareEmpty:  // only a valid answer without a folder means there is none
      m_view.NoDataFolder();
      break;
    default:
      break;
  }
}

void LogonFlow::FetchAfterLogOn() {
  if (!m_fetched) {
    m_fetched = true;
    if (AccountOf(m_saved).isEmpty()) {
      // The service was not answering yet at start-up and has logged on by itself with
      // its stored account: that account is the one in use.
      LoginInfo stored{};
      m_service.GetLogOnInfo(&stored);
      if (!AccountOf(stored).isEmpty()) {
        m_saved = stored;
        m_view.ShowAccount(AccountOf(m_saved));
        m_view.FillLoginWindow(m_saved);
        m_view.HideLoginWindow();
      }
    }
    qInfo("logged on as %s: fetching the data folder, the shares and the transfer log",
          qUtf8Printable(AccountOf(m_saved)));
    FetchDataFolder();
    m_view.ClearFetchedRows();
    m_service.GetShare();
    m_service.GetTransLog();
    m_switching = false;
  }
  m_view.HideSettings();
}

void LogonFlow::ReportLogOnFailure(int previous) {
  if (m_reporting || !m_reportArmed) return;
  m_reporting = true;
  switch (previous) {
    case kWrongAccount:
    case kBadChars:
    case kLogOnOther:
      m_view.ShowMessage(previous == kWrongAccount ? "MSGBOX_IDORPWERROR" : "MSGBOX_CONNECTFAIL");
      m_reportArmed = false;
      m_view.HideSettings();
      m_view.ShowLoginWindow(nullptr);
      break;
    case kCentralUnreachable:
      m_view.ShowBalloon("MSGBOX_CONNECTFAIL");
      m_reportArmed = false;
      break;
    default:  // no usable answer: the attempt stays to be reported
      break;
  }
  m_reporting = false;
  m_logOnState = kNoAccount;
  m_mobileState = kMobileNoDevice;
  m_view.RefreshStatus();
}

void LogonFlow::OnSwitchAccount() {
  if (!m_view.ConfirmSwitch()) return;
  m_service.LogOut();
  m_switching = true;
  m_fetched = false;
  m_reportArmed = false;
  m_view.RefreshStatus();
  m_view.ClearFetchedRows();
  m_view.HideSettings();
  m_view.ShowLoginWindow(nullptr);
}

void LogonFlow::OnNetworkDown() {
  if (!m_networkUp) return;
  m_networkUp = false;
  m_reportArmed = false;
  m_logOnState = kNoAccount;
  m_view.RefreshStatus();
  m_view.ShowBalloon("MSGBOX_ONNET");
}

void LogonFlow::OnNetworkUp() {
  if (m_networkUp) return;
  m_networkUp = true;
  // The saved account logs on again; without one there is no log-on to claim.
  if (!AccountOf(m_saved).isEmpty() && !FieldEmpty(m_saved.password, sizeof m_saved.password)) {
    ReLogOn();
  } else {
    m_view.RefreshStatus();
  }
}

void LogonFlow::OnServiceMarkedForDelete() {
  m_logOnState = kNoAccount;
  m_mobileState = kMobileNoDevice;
  m_view.RefreshStatus();
}

}  // namespace tray
