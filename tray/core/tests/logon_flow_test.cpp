#include "logon_flow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

namespace {

using tray::LoginInfo;

// The service as the flow sees it: scripted log-on states, recorded requests.
struct FakeService final : tray::IUIData {
  std::deque<int> statuses;  // one per poll; the last one repeats
  int mobile = tray::kMobileNoDevice;
  LoginInfo stored{};
  std::string def;
  int logOnResult = 0;
  int logOns = 0, logOuts = 0, shares = 0, transLogs = 0;

  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetCallback(tray::IUIDataCallBack*) override {}
  void ClearCallback() override {}
  int LogOn(LoginInfo*, int) override {
    ++logOns;
    return logOnResult;
  }
  int LogOut() override {
    ++logOuts;
    return 0;
  }
  int GetLogOnInfo(LoginInfo* login) override {
    *login = stored;
    return 0;
  }
  int GetDefShare(std::string* root) override {
    *root = def;
    return def.empty() ? tray::kDefShareEmpty : tray::kDefShareSet;
  }
  int SetDefShare(const tray::DefaultFolders&) override { return 0; }
  int GetShare() override { return ++shares, 0; }
  int SetShare(const std::vector<std::string>*, const std::vector<std::string>*) override { return 0; }
  int GetLogOnStatus() override {
    int s = statuses.front();
    if (statuses.size() > 1) statuses.pop_front();
    return s;
  }
  int GetMobileState() override { return mobile; }
  int SetHost(const std::string&) override { return 0; }
  int GetTransLog() override { return ++transLogs, 0; }
  int GetPath(const std::string&) override { return 0; }
  int GetSysType() override { return 2; }
  int ReplyDeviceLogin(const tray::ConnectResult*) override { return 0; }
};

struct FakeView final : tray::ILogonView {
  std::vector<std::string> boxes, balloons;
  int loginShown = 0, loginHidden = 0, settingsHidden = 0, cleared = 0;
  std::vector<int> polls;
  std::vector<std::string> folders;
  QString account;
  bool confirm = true;
  void ShowMessage(const char* key) override { boxes.emplace_back(key); }
  void ShowBalloon(const char* key) override { balloons.emplace_back(key); }
  void ShowLoginWindow(const LoginInfo*) override { ++loginShown; }
  void FillLoginWindow(const LoginInfo&) override {}
  void HideLoginWindow() override { ++loginHidden; }
  void HideSettings() override { ++settingsHidden; }
  void ShowAccount(const QString& a) override { account = a; }
  void RefreshStatus() override {}
  void ApplyDataFolder(const std::string& d) override { folders.push_back(d); }
  void NoDataFolder() override { folders.push_back("<none>"); }
  void ClearFetchedRows() override { ++cleared; }
  bool ConfirmSwitch() override { return confirm; }
  void ArmPoll(int ms) override { polls.push_back(ms); }
};

LoginInfo Login(const char* account, const char* password = "secret1") {
  LoginInfo info{};
  std::strncpy(info.account, account, sizeof info.account - 1);
  std::strncpy(info.password, password, sizeof info.password - 1);
  return info;
}

class LogonFlowTest : public ::testing::Test {
 protected:
  void Poll(int n = 1) {
    for (int i = 0; i < n; ++i) flow.PollTick();
  }
  FakeService service;
  FakeView view;
  tray::LogonFlow flow{service, view};
};

TEST_F(LogonFlowTest, StartUpWithAStoredAccountWaitsForTheServicesOwnLogOn) {
  service.stored = Login("a@b.cn");
  service.def = "/home/u/Tirvan";
  flow.StartUpLogOn();
  EXPECT_EQ(flow.logOnState(), tray::kLoggingOn);
  EXPECT_EQ(view.account, QStringLiteral("a@b.cn"));
  EXPECT_EQ(view.loginShown, 0);
  EXPECT_EQ(service.logOns, 0);
  EXPECT_EQ(view.folders, std::vector<std::string>{"/home/u/Tirvan"});
  EXPECT_EQ(view.polls, std::vector<int>{2000});
}

TEST_F(LogonFlowTest, OnlyAnAnswerWithoutAFolderChoosesOne) {
  flow.StartUpLogOn();  // the fake answers "no folder"
  EXPECT_EQ(view.folders, std::vector<std::string>{"<none>"});
}

TEST_F(LogonFlowTest, AServiceThatLogsOnByItselfAfterStartUpGivesItsAccount) {
  flow.StartUpLogOn();  // not answering yet: no account, the login window shows
  EXPECT_EQ(view.loginShown, 1);
  service.stored = Login("a@b.cn");
  service.statuses = {tray::kLoggedOn};
  Poll();
  EXPECT_EQ(view.account, QStringLiteral("a@b.cn"));
  EXPECT_EQ(view.loginHidden, 1);
  EXPECT_EQ(service.shares, 1);
}

TEST_F(LogonFlowTest, AFullAccountFieldCountsAsNone) {
  LoginInfo full{};
  std::memset(full.account, 'a', sizeof full.account);  // no terminating zero
  service.stored = full;
  flow.StartUpLogOn();
  EXPECT_EQ(view.loginShown, 1);
  EXPECT_EQ(flow.logOnState(), tray::kNoAccount);
}

TEST_F(LogonFlowTest, AWrongPasswordIsReportedOnceAndTheServicesOwnFailuresNever) {
  service.statuses = {tray::kWrongAccount};
  flow.OnLogOn(Login("a@b.cn"), 1);
  EXPECT_EQ(service.logOns, 1);
  Poll(4);
  EXPECT_EQ(view.boxes, std::vector<std::string>{"MSGBOX_IDORPWERROR"});
  EXPECT_EQ(view.loginShown, 1);

  // A good log-on, then the service's periodic re-log-on fails: only the icon shows it.
  service.statuses = {tray::kLoggedOn, tray::kLoggedOn, tray::kWrongAccount, tray::kCentralUnreachable,
                      tray::kLogOnOther};
  flow.OnLogOn(Login("a@b.cn", "right12"), 1);
  Poll(6);
  EXPECT_EQ(view.boxes.size(), 1u);
  EXPECT_TRUE(view.balloons.empty());
  EXPECT_EQ(flow.logOnState(), tray::kLogOnOther);
}

TEST_F(LogonFlowTest, ReportsByStatus) {
  struct Case {
    int status;
    const char* box;
    const char* balloon;
    int loginShown;
  };
  const Case cases[] = {
      {tray::kWrongAccount, "MSGBOX_IDORPWERROR", nullptr, 1},
      {tray::kBadChars, "MSGBOX_CONNECTFAIL", nullptr, 1},
      {tray::kLogOnOther, "MSGBOX_CONNECTFAIL", nullptr, 1},
      {tray::kCentralUnreachable, nullptr, "MSGBOX_CONNECTFAIL", 0},
      {tray::kLogOnUnknown, nullptr, nullptr, 0},
      {tray::kNoConnection, nullptr, nullptr, 0},
  };
  for (const Case& c : cases) {
    FakeService s;
    FakeView v;
    tray::LogonFlow f(s, v);
    s.statuses = {c.status};
    f.OnLogOn(Login("a@b.cn"), 1);
    f.PollTick();
    f.PollTick();  // reported on the tick after the one that saw it
    EXPECT_EQ(v.boxes, c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{}) << c.status;
    EXPECT_EQ(v.balloons, c.balloon ? std::vector<std::string>{c.balloon} : std::vector<std::string>{})
        << c.status;
    EXPECT_EQ(v.loginShown, c.loginShown) << c.status;
    EXPECT_EQ(f.reportArmed(), c.box == nullptr && c.balloon == nullptr) << c.status;
  }
}

TEST_F(LogonFlowTest, NoReplyHeadWhileLoggingOnSlowsThePoll) {
  service.statuses = {tray::kNoReplyHead, tray::kLoggedOn};
  flow.OnLogOn(Login("a@b.cn"), 1);
  Poll();
  EXPECT_EQ(flow.logOnState(), tray::kLoggingOn);
  Poll();
  EXPECT_EQ(view.polls, (std::vector<int>{5000, 2000}));
  EXPECT_EQ(flow.logOnState(), tray::kLoggedOn);
}

TEST_F(LogonFlowTest, FetchesOncePerAccountAndPausesWhileADeviceWaits) {
  service.statuses = {tray::kLoggedOn};
  service.def = "/data/Tirvan";
  flow.OnLogOn(Login("a@b.cn"), 1);
  Poll(3);
  EXPECT_EQ(service.shares, 1);
  EXPECT_EQ(service.transLogs, 1);
  EXPECT_EQ(view.cleared, 1);

  flow.SetMobileState(tray::kMobileAwaitingApproval);
  service.statuses = {tray::kWrongAccount};
  Poll(3);
  EXPECT_EQ(flow.logOnState(), tray::kLoggedOn);  // paused
  flow.SetMobileState(tray::kMobileNoDevice);

  // Another account logs on after a failure: it gets its own folders.
  service.statuses = {tray::kLoggedOn};
  flow.OnLogOn(Login("other@b.cn"), 1);
  Poll(2);
  EXPECT_EQ(service.shares, 2);
  // The same account again: nothing is fetched twice.
  flow.ReLogOn();
  Poll(2);
  EXPECT_EQ(service.shares, 2);
}

TEST_F(LogonFlowTest, SwitchAccountOnlyOnOk) {
  service.statuses = {tray::kLoggedOn};
  flow.OnLogOn(Login("a@b.cn"), 1);
  Poll(2);
  view.confirm = false;
  flow.OnSwitchAccount();
  EXPECT_EQ(service.logOuts, 0);
  EXPECT_FALSE(flow.switching());

  view.confirm = true;
  int shown = view.loginShown;
  flow.OnSwitchAccount();
  EXPECT_EQ(service.logOuts, 1);
  EXPECT_TRUE(flow.switching());
  EXPECT_FALSE(flow.fetched());
  EXPECT_EQ(view.loginShown, shown + 1);
  flow.OnLogOn(Login("a@b.cn"), 1);
  EXPECT_FALSE(flow.switching());
  Poll(2);
  EXPECT_EQ(service.shares, 2);  // fetched again after the switch
}

TEST_F(LogonFlowTest, NetworkDownAndUpLogsOnAgainWithTheSavedRecord) {
  flow.OnLogOn(Login("a@b.cn", "0123456789012345678901"), 1);
  flow.OnNetworkDown();
  flow.OnNetworkDown();
  EXPECT_EQ(view.balloons, std::vector<std::string>{"MSGBOX_ONNET"});
  EXPECT_EQ(flow.logOnState(), tray::kNoAccount);
  EXPECT_FALSE(flow.reportArmed());
  flow.OnNetworkUp();
  flow.OnNetworkUp();
  EXPECT_EQ(service.logOns, 2);
  EXPECT_EQ(flow.logOnState(), tray::kLoggingOn);
}

TEST_F(LogonFlowTest, NetworkUpWithoutASavedAccountClaimsNoLogOn) {
  flow.OnNetworkDown();
  flow.OnNetworkUp();
  EXPECT_TRUE(flow.networkUp());
  EXPECT_EQ(service.logOns, 0);
  EXPECT_EQ(flow.logOnState(), tray::kNoAccount);
  EXPECT_EQ(view.balloons, std::vector<std::string>{"MSGBOX_ONNET"});
}

TEST_F(LogonFlowTest, AHashThatCannotBeMadeIsToldAndNothingIsSent) {
  service.logOnResult = -1;
  flow.OnLogOn(Login("a@b.cn"), 1);
  EXPECT_EQ(view.boxes, std::vector<std::string>{"MSGBOX_CRYPTFAIL"});
  EXPECT_EQ(flow.logOnState(), tray::kNoAccount);
  EXPECT_EQ(view.loginShown, 1);
}

}  // namespace
