// The tray program's view of the log-on: the service logs on to the central server by
// itself, so the program polls its last result, keeps a login state of its own, reports a
// failed attempt once, fetches the folders, shares and transfer log once per account that
// logs on, and switches (logs out) the account. The effects on windows go through
// ILogonView, the service through IUIData; the poll's timer belongs to the owner, which
// calls PollTick at the interval ArmPoll names.
#pragma once

#include <QString>

#include <string>

#include "login_info.h"
#include "ui_data.h"

namespace tray {

// Login states besides GetLogOnStatus's: the program's own "logging on".
inline constexpr int kLoggingOn = 3;
// Mobile state while a device login waits for the user's answer.
inline constexpr int kMobileAwaitingApproval = 5;

inline constexpr int kLogOnPollMs = 2000;
inline constexpr int kLogOnPollSlowMs = 5000;

class ILogonView {
 public:
  virtual ~ILogonView() = default;
  // A skinned message box (OK only) with MESSAGEBOX/key; returns when it is closed.
  virtual void ShowMessage(const char* key) = 0;
  virtual void ShowBalloon(const char* key) = 0;
  // The login window, filled with saved when given, shown.
  virtual void ShowLoginWindow(const LoginInfo* saved) = 0;
  virtual void FillLoginWindow(const LoginInfo& saved) = 0;
  virtual void HideLoginWindow() = 0;
  virtual void HideSettings() = 0;
  // The account shown in the title, the window text and the account page.
  virtual void ShowAccount(const QString& account) = 0;
  virtual void RefreshStatus() = 0;
  // The data folder the service reported, shown on the pages.
  virtual void ApplyDataFolder(const std::string& def) = 0;
  // The service answered that it has no data folder: one is chosen.
  virtual void NoDataFolder() = 0;
  // Empties the share list and the transfer log before they are fetched again.
  virtual void ClearFetchedRows() = 0;
  // The confirmation of an account switch: true for OK.
  virtual bool ConfirmSwitch() = 0;
  virtual void ArmPoll(int ms) = 0;
};

class LogonFlow {
 public:
  LogonFlow(IUIData& service, ILogonView& view) : m_service(service), m_view(view) {}

  void StartUpLogOn();
  void OnLogOn(const LoginInfo& info, int hash);
  void ReLogOn() { OnLogOn(m_saved, 0); }
  void PollTick();
  void OnSwitchAccount();
  void OnNetworkDown();
  void OnNetworkUp();
  void OnServiceMarkedForDelete();
  void SetMobileState(int state) { m_mobileState = state; }

  int logOnState() const { return m_logOnState; }
  int mobileState() const { return m_mobileState; }
  bool switching() const { return m_switching; }
  bool networkUp() const { return m_networkUp; }
  bool fetched() const { return m_fetched; }
  bool reportArmed() const { return m_reportArmed; }
  const LoginInfo& savedLogin() const { return m_saved; }

 private:
  void FetchDataFolder();
  void FetchAfterLogOn();
  void ReportLogOnFailure(int previous);

  IUIData& m_service;
  ILogonView& m_view;
  int m_logOnState = kNoAccount;
  int m_mobileState = kMobileNoDevice;
  bool m_switching = false;
  bool m_networkUp = true;
  bool m_fetched = false;
  bool m_reportArmed = false;
  bool m_reporting = false;
  LoginInfo m_saved{};
};

}  // namespace tray
