// A service client for tests that talks to no service. By default it is a service that
// is not there (every request goes unanswered); its knobs make it answer what a test
// needs, and it records what the program sends.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ui_data.h"

namespace traytest {

struct FakeService final : tray::IUIData {
  // What the service answers.
  int defShareResult = tray::kDefShareNoReply;  // GetDefShare
  std::string defShare;                         // what GetDefShare gives with kDefShareSet
  int setDefShareResult = -1;
  int setShareResult = -1;
  int status = tray::kNoConnection;
  int mobile = tray::kMobileUnknown;
  bool answersLogOnInfo = false;  // GetLogOnInfo copies `stored` out
  tray::LoginInfo stored{};
  int replyDeviceLoginResult = -1;
  bool answersTransLog = false;  // GetTransLog plays `log` to the callback and returns 0
  int unanswered = -1;  // what GetShare, GetPath and a GetTransLog that plays nothing return
  std::vector<tray::TransLogRecord> log;

  // What the program did.
  tray::IUIDataCallBack* callback = nullptr;
  int logOns = 0;
  std::vector<tray::DefaultFolders> setDefShare;
  std::vector<std::string>* events = nullptr;  // SetDefShare notes "SetDefShare" here
  std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> setShare;
  std::vector<tray::ConnectResult> replies;
  int transLogFetches = 0;

  // A service that takes every request and answers each with 0.
  void AcceptAll() {
    setDefShareResult = 0;
    setShareResult = 0;
    status = 0;
    mobile = 0;
    unanswered = 0;
    replyDeviceLoginResult = 0;
  }

  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetCallback(tray::IUIDataCallBack* cb) override { callback = cb; }
  void ClearCallback() override { callback = nullptr; }
  int LogOn(tray::LoginInfo*, int) override { return ++logOns, 0; }
  int LogOut() override { return 0; }
  int GetLogOnInfo(tray::LoginInfo* info) override {
    if (info && answersLogOnInfo) *info = stored;
    return 0;
  }
  int GetDefShare(std::string* def) override {
    if (defShareResult == tray::kDefShareSet) *def = defShare;
    return defShareResult;
  }
  int SetDefShare(const tray::DefaultFolders& f) override {
    setDefShare.push_back(f);
    if (events) events->push_back("SetDefShare");
    return setDefShareResult;
  }
  int GetShare() override { return unanswered; }
  int SetShare(const std::vector<std::string>* added, const std::vector<std::string>* removed) override {
    if (added && removed) setShare.emplace_back(*added, *removed);
    return setShareResult;
  }
  int GetLogOnStatus() override { return status; }
  int GetMobileState() override { return mobile; }
  int SetHost(const std::string&) override { return 0; }
  int GetTransLog() override {
    ++transLogFetches;
    if (!answersTransLog) return unanswered;
    for (const auto& r : log) callback->OnTransLog(r);
    return 0;
  }
  int GetPath(const std::string&) override { return unanswered; }
  int GetSysType() override { return 2; }
  int ReplyDeviceLogin(const tray::ConnectResult* r) override {
    if (r) replies.push_back(*r);
    return replyDeviceLoginResult;
  }
};

}  // namespace traytest
