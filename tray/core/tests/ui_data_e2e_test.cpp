// The service client against the built TirvanClient under the built-in service manager,
// with tirvan-central: the logon with the tray's own hash of a typed password (the hash
// the central server keeps), the account, the logon state, the default folders, the
// shares, folder browsing, the transfer log, the device state, the system type, and a
// device's login with another account put to the tray's listener and answered both ways.
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "crypt_password.h"
#include "records.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"
#include "system_harness.h"
#include "ui_data.h"

namespace {

constexpr const char* kPcEmail = "pc@tirvan.test";
constexpr const char* kSecondEmail = "second@tirvan.test";
constexpr const char* kSecondPassword = "second-pass";
constexpr uint16_t kOpDeviceLogin = 0x0008;
constexpr uint16_t kOpHeartBeat = 0x8888;

struct Recorder : tray::IUIDataCallBack {
  std::mutex m;
  std::vector<std::string> shares, paths;
  std::vector<tray::TransLogRecord> logs;
  std::vector<tray::DeviceLoginInfo> questions;
  void OnShareFolder(const std::string& p) override { shares.push_back(p); }
  void OnTransLog(const tray::TransLogRecord& r) override { logs.push_back(r); }
  void OnPathItem(const std::string& p) override { paths.push_back(p); }
  void OnDeviceLoginRequest(const tray::DeviceLoginInfo* info) override {
    std::lock_guard<std::mutex> lock(m);
    questions.push_back(*info);
  }
  void OnNetworkDown() override {}
  void OnNetworkUp() override {}
  std::vector<tray::DeviceLoginInfo> Questions() {
    std::lock_guard<std::mutex> lock(m);
    return questions;
  }
};

tray::LoginInfo Login(const char* account, const char* password) {
  tray::LoginInfo l{};
  std::strncpy(l.account, account, sizeof l.account - 1);
  std::strncpy(l.password, password, sizeof l.password - 1);
  return l;
}

class UIDataEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central.AddAccount(kSecondEmail, kSecondPassword));
    ASSERT_TRUE(central.Start()) << central.Output();
    tmp.MakeDir("share");
    tmp.MakeDir("share/sub1");
    tmp.MakeDir("share/sub2");
    systest::WriteFile(tmp.Sub("share/file.bin"), systest::RandomBytes(5000, 7));
    systest::ServiceOptions options;
    options.central = &central;
    options.shares = {tmp.Sub("share")};
    service = std::make_unique<systest::Service>(tmp, options);

    // The tray's listener first, so the service is started pointing at it.
    tray::UIDataOptions o;
    o.transport.listenPort = 0;
    ui = std::make_unique<tray::CUIData>(o);
    ASSERT_NE(ui->ListenPort(), 0);
    ::setenv("TIRVAN_TRAY_LOGIN_PORT", std::to_string(ui->ListenPort()).c_str(), 1);
    ASSERT_TRUE(service->Start()) << service->Output();
    ui->SetServicePort(service->port());
    ui->SetCallback(&rec);
  }
  void TearDown() override {
    if (ui) ui->ClearCallback();
    ui.reset();
    if (service) {
      EXPECT_EQ(service->Reports(), "");
    }
    ::unsetenv("TIRVAN_TRAY_LOGIN_PORT");
  }

  support::TempDir tmp;
  systest::Central central{tmp, kPcEmail, "pc-pass1"};
  std::unique_ptr<systest::Service> service;
  std::unique_ptr<tray::CUIData> ui;
  Recorder rec;
};

TEST_F(UIDataEndToEndTest, LogOnWithTheTraysHashAccountStateAndLogOut) {
  ASSERT_TRUE(systest::WaitUntil([&] { return ui->GetLogOnStatus() == tray::kLoggedOn; }, 20000))
      << service->Log();
  tray::LoginInfo stored{};
  ui->GetLogOnInfo(&stored);
  EXPECT_STREQ(stored.account, kPcEmail);
  EXPECT_EQ(std::string(stored.password), central.hash());

  // A typed password, hashed here: the central server accepts it for its account.
  tray::LoginInfo login = Login(kSecondEmail, kSecondPassword);
  ASSERT_EQ(ui->LogOn(&login, 1), 0);
  EXPECT_EQ(std::string(login.password), tray::CryptPassword(kSecondPassword).value());
  ASSERT_TRUE(systest::WaitUntil(
      [&] {
        std::optional<Json::Value> pc = central.Station();
        return pc && (*pc)["loggedOn"].asBool() && (*pc)["email"].asString() == kSecondEmail;
      },
      20000))
      << central.Output() << service->Log();
  EXPECT_EQ(ui->GetLogOnStatus(), tray::kLoggedOn);
  ui->GetLogOnInfo(&stored);
  EXPECT_STREQ(stored.account, kSecondEmail);
  EXPECT_STREQ(stored.password, login.password);

  // A wrong password: the central server's refusal.
  tray::LoginInfo wrong = Login(kSecondEmail, "not-the-password");
  ASSERT_EQ(ui->LogOn(&wrong, 1), 0);
  EXPECT_TRUE(systest::WaitUntil(
      [&] { return ui->GetLogOnStatus() == tray::kWrongAccount; }, 20000))
      << ui->LastLogOnCode();

  // Logging on again with the kept hash (flag clear) is accepted.
  ASSERT_EQ(ui->LogOn(&login, 0), 0);
  EXPECT_TRUE(systest::WaitUntil([&] { return ui->GetLogOnStatus() == tray::kLoggedOn; }, 20000));

  EXPECT_EQ(ui->LogOut(), 0);
  EXPECT_EQ(ui->GetLogOnStatus(), tray::kNoAccount);
  tray::LoginInfo none = Login("x", "y");
  ui->GetLogOnInfo(&none);
  EXPECT_STREQ(none.account, "");

  EXPECT_EQ(ui->GetSysType(), 2);
  tray::UIDataOptions late;
  late.transport.requestPort = service->port();
  late.startListener = false;
  EXPECT_EQ(tray::CUIData(late).GetSysType(), 2);
}

TEST_F(UIDataEndToEndTest, FoldersSharesBrowsingTransferLogAndDeviceState) {
  const std::string share = tmp.Sub("share");
  // Default folders.
  std::string root;
  ASSERT_EQ(ui->GetDefShare(&root), tray::kDefShareSet);
  EXPECT_EQ(root, service->DefaultFolder());
  const std::string base = tmp.Sub("data");
  tmp.MakeDir("data");
  tray::DefaultFolders f{base, base + "/Pictures", base + "/Music", base + "/Videos",
                         base + "/Documents"};
  for (const char* sub : {"Pictures", "Music", "Videos", "Documents"}) {
    tmp.MakeDir(std::string("data/") + sub);
  }
  ASSERT_EQ(ui->SetDefShare(f), 0);
  ASSERT_EQ(ui->GetDefShare(&root), tray::kDefShareSet);
  EXPECT_EQ(root, base);
  EXPECT_EQ(ui->Folders().music, base + "/Music");
  EXPECT_EQ(ui->Folders().document, base + "/Documents");

  // Shares: read, add one, remove one; the service holds what the tray sent.
  ASSERT_EQ(ui->GetShare(), 0);
  ASSERT_FALSE(rec.shares.empty());
  EXPECT_NE(std::find(rec.shares.begin(), rec.shares.end(), share), rec.shares.end());
  const std::vector<std::string> before = ui->ShareList();
  std::vector<std::string> add = {share + "/sub1"};
  ASSERT_EQ(ui->SetShare(&add, nullptr), 0);
  rec.shares.clear();
  ASSERT_EQ(ui->GetShare(), 0);
  std::vector<std::string> expected = before;
  expected.push_back(share + "/sub1");
  EXPECT_EQ(rec.shares, expected);
  std::vector<std::string> remove = {share};
  ASSERT_EQ(ui->SetShare(nullptr, &remove), 0);
  ASSERT_EQ(ui->GetShare(), 0);
  EXPECT_EQ(std::find(ui->ShareList().begin(), ui->ShareList().end(), share),
            ui->ShareList().end());
  EXPECT_EQ(ui->SetShare(&remove, nullptr), 0);  // back again for the device below

  // Folder browsing: the roots, then the subfolders of the share.
  ASSERT_EQ(ui->GetPath(""), 0);
  EXPECT_EQ(rec.paths, std::vector<std::string>{"/"});
  rec.paths.clear();
  ASSERT_EQ(ui->GetPath(share), 0);
  std::sort(rec.paths.begin(), rec.paths.end());
  EXPECT_EQ(rec.paths, (std::vector<std::string>{share + "/sub1", share + "/sub2"}));

  // No device has been seen yet.
  EXPECT_EQ(ui->GetMobileState(), tray::kMobileNoDevice);
  {
    support::MsgClient device;
    ASSERT_TRUE(device.Connect(service->port()));
    ASSERT_TRUE(device.Send(kOpHeartBeat, 1, "x"));
    ASSERT_TRUE(device.Recv(10000));
  }
  EXPECT_EQ(ui->GetMobileState(), tray::kMobileIdle);

  // A download by a device lands in the transfer log.
  ASSERT_EQ(ui->GetTransLog(), 0);
  EXPECT_TRUE(rec.logs.empty());
  auto lan = service->Lan();
  ASSERT_TRUE(lan);
  device::DownloadResult result;
  ASSERT_TRUE(lan->Download(5, share + "/file.bin", tmp.Sub("got.bin"), device::DownloadOptions{},
                            result))
      << lan->LastError();
  ASSERT_TRUE(systest::WaitUntil(
      [&] {
        rec.logs.clear();
        return ui->GetTransLog() == 0 && !rec.logs.empty();
      },
      10000));
  EXPECT_EQ(rec.logs.back().type, 1);
  EXPECT_EQ(rec.logs.back().size, 5000u);
  EXPECT_EQ(std::string(rec.logs.back().file), share + "/file.bin");
  EXPECT_NE(std::string(rec.logs.back().time), "");
}

TEST_F(UIDataEndToEndTest, ADeviceWithAnotherAccountIsAdmittedOrRefusedFromTheTray) {
  const std::string otherHash = tray::CryptPassword("guest-pass").value();
  for (uint8_t accepted : {1, 0}) {
    const size_t seen = rec.Questions().size();
    support::MsgClient device;
    ASSERT_TRUE(device.Connect(service->port()));
    const std::string name = accepted != 0 ? "Anna's phone" : "Unknown tablet";
    ASSERT_TRUE(device.Send(kOpDeviceLogin, 9, traytest::DeviceLoginRecord("guest@tirvan.test", otherHash, name)));
    ASSERT_TRUE(systest::WaitUntil([&] { return rec.Questions().size() == seen + 1; }, 10000))
        << service->Log();
    tray::DeviceLoginInfo q = rec.Questions().back();
    EXPECT_EQ(std::string(q.sender), name);
    EXPECT_STREQ(q.network, "wlan");
    tray::ConnectResult verdict{q.id, accepted};
    ASSERT_EQ(ui->ReplyDeviceLogin(&verdict), 0);
    auto reply = device.Recv(10000);
    ASSERT_TRUE(reply) << service->Log();
    EXPECT_EQ(reply->head.opcode, kOpDeviceLogin);
    ASSERT_EQ(reply->body.size(), 4u);
    EXPECT_EQ(static_cast<uint8_t>(reply->body[1]), accepted != 0 ? 0 : 1);
    EXPECT_EQ(ui->ReplyDeviceLogin(&verdict), -1);
  }
}

}  // namespace
