// The service's start-up and exit on an install root laid out by tirvan-setup: the
// order of the steps and every failure code with injected failures, the handler table,
// the first logon, the system's name.
#include "app/service_init.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/device_requests.h"
#include "app/download.h"
#include "app/listing.h"
#include "app/logon.h"
#include "app/relay_transfer.h"
#include "app/thumbnail.h"
#include "app/tray_requests.h"
#include "app/upload.h"
#include "app_test_util.h"
#include "comm/discovery.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/p2p_client.h"
#include "comm/relay_client.h"
#include "comm/sqlite_db.h"
#include "support/temp_dir.h"

namespace {

int Dummy(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
          uint8_t*) {
  return 0;
}

// Waits until the server has ended (its state goes back to Pending last): a server still
// ending would set that state over the next start's.
void StopLocalServer() {
  if (OS_LocalServerState() != LocalServerState::Running) return;
  OS_StopLocalServer();
  EXPECT_TRUE(apptest::WaitUntil(
      [] { return OS_LocalServerState() != LocalServerState::Running; }, 20000));
}

// A host with one physical interface and a name that resolves; or with neither.
void UseHost(bool withMac, bool withIp) {
  HostProvider p;
  p.interfaces = [withMac](std::vector<NetInterface>& out) {
    out.clear();
    if (withMac) {
      NetInterface n;
      n.name = "eth0";
      n.index = 2;
      n.flags = IFF_UP | IFF_RUNNING;
      n.mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
      out.push_back(n);
    }
    return 0;
  };
  p.resolve = [withIp](const std::string&, std::vector<uint32_t>& out) {
    out.clear();
    if (!withIp) return -1;
    out.push_back(::inet_addr("192.0.2.10"));
    return 0;
  };
  SetHostProvider(p);
}

// One pool for every start of the process: a start that fails leaves its pool behind.
ThreadPool* SharedPool(int) {
  static ThreadPool* pool = ThreadPool_Create();
  return pool;
}

class ServiceInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = m_tmp.Sub("root");
    apptest::RunResult r =
        apptest::Run({TIRVAN_SETUP_PATH, "--root", m_root, "--port", "0", "--log-priority", "700"},
                     {}, m_tmp.Sub("setup.out"));
    ASSERT_EQ(r.status, 0) << r.output;
    g_InstallRoot = m_root;
    g_DBPath = m_root + "/etc/Tirvan.db";
    g_LocalPort = 0;
    OS_ClearRegistry();
    UseHost(true, true);
    m_options.lockDir = NewLockDir();
    m_options.addWork = [this](ThreadPool*, ThreadPoolFn fn, void*) {
      m_queued.push_back(fn);
      return 0;
    };
    m_options.os.portWaitTries = 300;  // room under load; a healthy server reports at once
    m_options.os.createPool = SharedPool;
  }

  void TearDown() override {
    StopLocalServer();
    try {
      g_DB.CloseFile();
    } catch (const CppSQLite3Exception&) {
    }
    g_Log.Close();
    SetHostProvider(HostProvider{});
    OS_ClearRegistry();
    OS_ClearStopFlag();
  }

  // Every start takes the lock for the life of the process: each needs its own folder.
  std::string NewLockDir() {
    std::string d = "lock" + std::to_string(++m_lockDirs);
    m_tmp.MakeDir(d);
    return m_tmp.Sub(d);
  }

  void Sql(const std::string& sql) {
    CppSQLite3DB db;
    db.OpenFile(g_DBPath.c_str());
    db.RunCommand(sql.c_str());
    db.CloseFile();
  }

  int Init(std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    int rc = Service_InitProgram(m_options);
    std::string o = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = o;
    return rc;
  }

  std::string LogPath() const { return m_root + "/log/Log.txt"; }
  void ClearLog() const { std::ofstream(LogPath(), std::ios::trunc); }
  std::string Log() const { return apptest::ReadFile(LogPath()); }
  bool Exists(const std::string& path) const { return ::access(path.c_str(), F_OK) == 0; }

  support::TempDir m_tmp;
  std::string m_root;
  ServiceInitOptions m_options;
  std::vector<ThreadPoolFn> m_queued;
  int m_lockDirs = 0;
};

TEST_F(ServiceInitTest, StartsInOrder) {
  ASSERT_EQ(::rmdir((m_root + "/log").c_str()), 0);  // the start creates it
  g_StopFlag = 1;
  std::string out;
  ASSERT_EQ(Init(&out), 0) << out << Log();
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_StopFlag.load(), 0);
  EXPECT_TRUE(g_DB.IsOpen());
  EXPECT_EQ(g_SysType, 2);
  EXPECT_EQ(g_MacAddr, "00-1A-2B-3C-4D-5E");
  EXPECT_STREQ(g_MacBuf, "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(g_LocalIp.Get(), "192.0.2.10");
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Running);
  EXPECT_NE(g_LocalPort.load(), 0);

  const std::string log = Log();
  EXPECT_TRUE(
      apptest::InOrder(log, {"[CommLib Service_InitProgram", "local bind port 0.",
                             "os " + g_OSName + ", type 2.", "Mac:00-1A-2B-3C-4D-5E", "Bind port ",
                             "[TirvanClient Service_InitProgram", "Start service successful!"}))
      << log;
  EXPECT_EQ(log.find("error"), std::string::npos) << log;

  const std::vector<ThreadPoolFn> items = {UserOp,
                                           HeartBeat,
                                           StartRecvInterLine,
                                           InterLineUpLoadFile,
                                           StartP2PClient,
                                           StartBroadcastServer,
                                           SetDiskInfo};
  EXPECT_EQ(m_queued, items);
  for (const RegEntry& e : BusinessFunTable()) EXPECT_TRUE(OS_IsServed(e.opcode, Origin::Lan));
  for (const RegEntry& e : ShowFunTable()) EXPECT_TRUE(OS_IsServed(e.opcode, Origin::Loopback));
}

TEST_F(ServiceInitTest, SecondInstanceStopsBeforeTheDatabase) {
  // Another process's lock: the same file, locked through another open file.
  const std::string lockPath = InstanceLockPath(m_options.lockDir, m_root);
  EXPECT_EQ(lockPath, m_options.lockDir + "/342cfb6a-1374-11e2-a327-dd69792138b9.lock");
  int fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  std::string out;
  EXPECT_EQ(Init(&out), ERR_SECOND_INSTANCE);
  EXPECT_EQ(out, "server exits.\n");
  EXPECT_FALSE(g_DB.IsOpen());
  EXPECT_EQ(Log(), "");
  ::close(fd);

  // Once the other process is gone, this one starts; a further start in it is refused.
  EXPECT_EQ(Init(&out), 0) << out << Log();
  StopLocalServer();
  OS_ClearRegistry();
  EXPECT_EQ(Init(&out), ERR_SECOND_INSTANCE);
}

TEST_F(ServiceInitTest, LockFolderDefaults) {
  ::setenv(kInstanceLockDirEnv, "/some/dir", 1);
  EXPECT_EQ(InstanceLockPath("", m_root), "/some/dir/342cfb6a-1374-11e2-a327-dd69792138b9.lock");
  ::unsetenv(kInstanceLockDirEnv);
  std::string dir = ::access("/run/lock", W_OK | X_OK) == 0 ? "/run/lock" : m_root + "/etc";
  EXPECT_EQ(InstanceLockPath("", m_root), dir + "/342cfb6a-1374-11e2-a327-dd69792138b9.lock");
}

TEST_F(ServiceInitTest, DatabaseThatCannotBeOpened) {
  // A missing file is created empty; a missing folder cannot hold one.
  for (const std::string& path : {m_tmp.Sub("no-etc/Tirvan.db"), std::string()}) {
    SCOPED_TRACE(path);
    g_DBPath = path;
    m_options.lockDir = NewLockDir();
    std::string out;
    EXPECT_EQ(Init(&out), ERR_OPEN_DB);
    EXPECT_EQ(out, "open database error.\n");
    EXPECT_FALSE(g_DB.IsOpen());
    EXPECT_FALSE(Exists(LogPath()));
  }
}

TEST_F(ServiceInitTest, LogFileThatCannotBeOpened) {
  ASSERT_EQ(::mkdir(LogPath().c_str(), 0755), 0);  // a folder where the file should be
  std::string out;
  EXPECT_EQ(Init(&out), ERR_OPEN_LOG);
  EXPECT_EQ(out, "open log file exits.\n");
  EXPECT_TRUE(g_DB.IsOpen());
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Pending);
}

TEST_F(ServiceInitTest, NoStationIdFailsAfterTheLogOpened) {
  UseHost(false, true);
  std::string out;
  EXPECT_EQ(Init(&out), -1);
  EXPECT_EQ(out, "");
  EXPECT_NE(Log().find("[ERROR] Get mac addr error."), std::string::npos) << Log();
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Pending);  // the core was not started
  EXPECT_TRUE(m_queued.empty());
}

TEST_F(ServiceInitTest, NoLocalAddressIsOnlyLogged) {
  UseHost(true, false);
  EXPECT_EQ(Init(), 0) << Log();
  EXPECT_NE(Log().find("[WARNING] get local ip error ."), std::string::npos) << Log();
  EXPECT_EQ(g_LocalIp.Get(), "");
}

TEST_F(ServiceInitTest, NullLogPriorityStartsSilently) {
  Sql("update qz_conf set log_priority=NULL");
  EXPECT_EQ(Init(), 0);
  EXPECT_TRUE(Exists(LogPath()));
  EXPECT_EQ(Log(), "");
}

TEST_F(ServiceInitTest, CoreFailuresPassThrough) {
  apptest::PortHolder taken;
  ASSERT_NE(taken.port(), 0);
  struct Case {
    const char* what;
    int code;
    std::function<void(OsInitOptions&)> inject;
    const char* line;  // OS_Init's own line
  };
  const Case cases[] = {
      {"pool", ERR_POOL_CREATE,
       [](OsInitOptions& o) { o.createPool = [](int) -> ThreadPool* { return nullptr; }; },
       nullptr},
      {"lock", ERR_MUTEX_CREATE, [](OsInitOptions& o) { o.failLock = 4; },
       "Init user info mutex error."},
      {"queue", ERR_LOCAL_SERVER,
       [](OsInitOptions& o) { o.addWork = [](ThreadPool*, ThreadPoolFn, void*) { return -1; }; },
       "Init communication server error."},
      {"taken port", ERR_LOCAL_PORT, [](OsInitOptions&) {}, "get local bind port error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sql("update qz_conf set localport=" +
        std::to_string(c.code == ERR_LOCAL_PORT ? taken.port() : 0));
    ClearLog();
    m_options.lockDir = NewLockDir();
    m_options.os = OsInitOptions{};
    m_options.os.createPool = SharedPool;
    c.inject(m_options.os);
    EXPECT_EQ(Init(), c.code);
    std::string log = Log();
    if (c.line != nullptr) {
      EXPECT_TRUE(apptest::InOrder(log, {c.line, "os init error."})) << log;
    }
    EXPECT_NE(log.find("[ERROR] os init error."), std::string::npos) << log;
    EXPECT_FALSE(OS_IsServed(OP_GET_SHARE_INFO, Origin::Lan));  // nothing registered
    EXPECT_TRUE(m_queued.empty());
  }
}

TEST_F(ServiceInitTest, RefusedRegistrationStopsTheStart) {
  ASSERT_EQ(OS_RegFunction(Dummy, 0x5002), 0);
  EXPECT_EQ(Init(), ERR_REG_FUNCTION);
  EXPECT_TRUE(apptest::InOrder(Log(), {"[INFO] Reg Show_LogOn function error.",
                                       "[INFO] Regester function error, return code(275)."}))
      << Log();
  EXPECT_TRUE(m_queued.empty());
}

TEST_F(ServiceInitTest, WorkItemThatCannotBeQueued) {
  const char* const names[] = {"HeartBeat",      "StartRecvInterLine",   "InterLineUpLoadFile",
                               "StartP2PClient", "StartBroadcastServer", "SetDiskInfo"};
  // Round 0 refuses UserOp, whose result does not count; round k refuses the k-th of the rest.
  for (int refuse = 0; refuse <= 6; ++refuse) {
    SCOPED_TRACE(refuse);
    StopLocalServer();
    OS_ClearRegistry();
    ClearLog();
    m_options.lockDir = NewLockDir();
    int n = 0;
    m_options.addWork = [&](ThreadPool*, ThreadPoolFn, void*) { return n++ == refuse ? -1 : 0; };
    if (refuse == 0) {
      EXPECT_EQ(Init(), 0);
      EXPECT_EQ(n, 7);
      continue;
    }
    EXPECT_EQ(Init(), -1);
    EXPECT_EQ(n, refuse + 1);  // nothing is queued after the refused item
    std::string line = std::string("[ERROR] Add ") + names[refuse - 1] + " to thread error.";
    EXPECT_NE(Log().find(line), std::string::npos) << Log();
    EXPECT_EQ(Log().find("Start service successful!"), std::string::npos);
  }
}

TEST_F(ServiceInitTest, ExitClosesTheDatabaseUnderItsLock) {
  ASSERT_EQ(Init(), 0);
  // A reader holds the database's lock for a while: the close waits for it.
  std::atomic<bool> held{false}, released{false};
  std::thread reader([&] {
    auto lock = g_DB.Lock();
    held = true;
    platform::SleepMs(100);
    released = true;
  });
  EXPECT_TRUE(apptest::WaitUntil([&] { return held.load(); }, 20000));
  EXPECT_EQ(Service_Exit(), 0);
  EXPECT_TRUE(released.load());
  reader.join();
  EXPECT_FALSE(g_DB.IsOpen());
  EXPECT_NE(g_StopFlag.load(), 0);
  EXPECT_NE(Log().find("[DEBUG] exit server."), std::string::npos);
  // A second exit finds nothing to close.
  EXPECT_EQ(Service_Exit(), 0);
}

// ---- The handler table.

struct Expected {
  uint16_t opcode;
  RegFun handler;
  const char* name;
};

const Expected kTable[] = {
    {0x2002, GetShareInfo, "GetShareInfo"},
    {0x2003, GetAllSubFile, "GetAllSubFile"},
    {0x0001, ReqUpLoadFile, "ReqUpLoadFile"},
    {0x0002, UpLoadFile, "UpLoadFile"},
    {0x0003, OverUpLoadFile, "OverUpLoadFile"},
    {0x0004, ReqDownLoadFile, "ReqDownLoadFile"},
    {0x0005, AllowDownLoadFile, "AllowDownLoadFile"},
    {0x0011, RefuseDownLoadFile, "RefuseDownLoadFile"},
    {0x3001, ReqDownloadThumbNial, "ReqDownloadThumbNial"},
    {0x100E, StopDownLoad, "StopDownLoad"},
    {0x8888, ReqDeviceHeartBeat, "ReqDeviceHeartBeat"},
    {0x0009, ReqShutDownSystem, "ReqShutDownSystem"},
    {0x0008, ReqDeviceLogin, "ReqDeviceLogin"},
    {0x5000, Show_GetLogOnInfo, "Show_GetLogOnInfo"},
    {0x5001, Show_LogOnStatues, "Show_LogOnStatues"},
    {0x5002, Show_LogOn, "Show_LogOn"},
    {0x5004, Show_GetDefShare, "Show_GetDefShare"},
    {0x5005, Show_SetDefShare, "Show_SetDefShare"},
    {0x5006, Show_GetShare, "Show_GetShare"},
    {0x5007, Show_SetShare, "Show_SetShare"},
    {0x5008, Show_GetPath, "Show_GetPath"},
    {0x5009, Show_GetTransLog, "Show_GetTransLog"},
    {0x500A, Show_GetIsTraning, "Show_GetIsTraning"},
    {0x500B, Show_GetIsMobileLinked, "Show_GetIsMobileLinked"},
    {0x500C, Show_GetSysType, "Show_GetSysType"},
    {0x500E, Show_LogOut, "Show_LogOut"},
    {0x500F, Show_ClearLog, "Show_ClearLog"},
};
constexpr size_t kDeviceCount = 13;

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_tmp.Sub("Log.txt"), LOG_DEBUG, false));
    OS_ClearRegistry();
  }
  void TearDown() override {
    OS_ClearRegistry();
    g_Log.Close();
  }
  std::string Log() const { return m_tmp.Read("Log.txt"); }
  support::TempDir m_tmp;
};

TEST_F(RegistrationTest, TableHoldsEveryHandlerInOrder) {
  std::vector<RegEntry> table(BusinessFunTable().begin(), BusinessFunTable().end());
  EXPECT_EQ(table.size(), kDeviceCount);
  table.insert(table.end(), ShowFunTable().begin(), ShowFunTable().end());
  ASSERT_EQ(table.size(), std::size(kTable));
  for (size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(kTable[i].name);
    EXPECT_EQ(table[i].opcode, kTable[i].opcode);
    EXPECT_EQ(table[i].handler, kTable[i].handler);
    EXPECT_STREQ(table[i].name, kTable[i].name);
  }

  EXPECT_EQ(RegBusinessFun(), 0);
  for (const Expected& e : kTable) EXPECT_TRUE(OS_IsServed(e.opcode, Origin::Loopback)) << e.name;
  EXPECT_FALSE(OS_IsServed(0x500D, Origin::Loopback));  // only ever sent by the service
  EXPECT_EQ(Log(), "");
}

TEST_F(RegistrationTest, FirstRefusalNamesItsHandlerAndStops) {
  // Taking each opcode in turn shows the order: what comes before it is registered,
  // what comes after is not.
  for (size_t i = 0; i < std::size(kTable); ++i) {
    SCOPED_TRACE(kTable[i].name);
    OS_ClearRegistry();
    ASSERT_EQ(OS_RegFunction(Dummy, kTable[i].opcode), 0);
    EXPECT_EQ(RegBusinessFun(), ERR_REG_FUNCTION);
    EXPECT_NE(Log().find(std::string("[INFO] Reg ") + kTable[i].name + " function error.\n"),
              std::string::npos);
    for (size_t j = 0; j < std::size(kTable); ++j) {
      if (j != i) {
        EXPECT_EQ(OS_IsServed(kTable[j].opcode, Origin::Loopback), j < i) << j;
      }
    }
  }
  // RegShowFun alone registers only the tray's part.
  OS_ClearRegistry();
  EXPECT_EQ(RegShowFun(), 0);
  EXPECT_FALSE(OS_IsServed(0x2002, Origin::Loopback));
  EXPECT_TRUE(OS_IsServed(0x500F, Origin::Loopback));
}

// ---- The first logon.

class UserOpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(g_Log.Open(m_tmp.Sub("Log.txt"), LOG_DEBUG, false)); }
  void TearDown() override { g_Log.Close(); }

  UserOpCalls Calls(int logOn, int svInfo) {
    UserOpCalls c;
    c.logOn = [this, logOn] { return m_calls.push_back("logon"), logOn; };
    c.setSVInfo = [this, svInfo] { return m_calls.push_back("svinfo"), svInfo; };
    c.setPowerOnInfo = [this] { m_calls.push_back("poweron"); };
    return c;
  }
  std::string Log() const { return m_tmp.Read("Log.txt"); }

  support::TempDir m_tmp;
  std::vector<std::string> m_calls;
};

TEST_F(UserOpTest, LogOnThenServerInfoThenPowerOn) {
  EXPECT_EQ(RunUserOp(Calls(0, 0)), 0);
  EXPECT_EQ(m_calls, (std::vector<std::string>{"logon", "svinfo", "poweron"}));
  EXPECT_EQ(g_LogOnRtn.load(), 0);
  EXPECT_TRUE(apptest::InOrder(Log(), {"start log in.", "log on successfully."}));
}

TEST_F(UserOpTest, FailedLogOnIsStoredAndEndsTheItem) {
  EXPECT_EQ(RunUserOp(Calls(ERR_CONNECT_NET, 0)), 0);
  EXPECT_EQ(m_calls, std::vector<std::string>{"logon"});
  EXPECT_EQ(g_LogOnRtn.load(), ERR_CONNECT_NET);
  EXPECT_NE(Log().find("[WARNING] log on return code 4122"), std::string::npos);
}

TEST_F(UserOpTest, FailedServerInfoSkipsThePowerOnReport) {
  EXPECT_EQ(RunUserOp(Calls(0, ERR_CONNECT_NET)), ERR_CONNECT_NET);
  EXPECT_EQ(m_calls, (std::vector<std::string>{"logon", "svinfo"}));
  EXPECT_NE(Log().find("[ERROR] set server info error."), std::string::npos);
}

// ---- The system's name.

TEST(OsName, WindowsVersionTable) {
  constexpr uint32_t NT = kVerPlatformWin32Nt, W9X = kVerPlatformWin32Windows;
  constexpr uint8_t WS = kVerNtWorkstation, SRV = 3;
  constexpr uint16_t X64 = kProcessorArchitectureAmd64, X86 = 0;
  struct Case {
    uint32_t major, minor, platformId;
    uint8_t product;
    uint16_t arch;
    bool r2;
    const char* name;
  };
  const Case cases[] = {
      {4, 0, NT, WS, X86, false, "Windows NT 4.0"},
      {4, 0, W9X, 0, X86, false, "Windows 95"},
      {4, 0, 0, 0, X86, false, ""},
      {4, 10, W9X, 0, X86, false, "Windows 98"},
      {4, 90, W9X, 0, X86, false, "Windows Me"},
      {4, 3, NT, WS, X86, false, ""},
      {5, 0, NT, WS, X86, false, "Windows 2000"},
      {5, 1, NT, WS, X86, false, "Windows XP"},
      {5, 2, NT, WS, X64, false, "Windows XP Professional x64 Edition"},
      {5, 2, NT, WS, X86, false, "Windows Server 2003"},
      {5, 2, NT, SRV, X64, false, "Windows Server 2003"},
      {5, 2, NT, SRV, X86, true, "Windows Server 2003 R2"},
      {5, 3, NT, WS, X86, false, ""},
      {6, 0, NT, WS, X64, false, "Windows Vista"},
      {6, 0, NT, SRV, X64, false, "Windows Server 2008"},
      {6, 1, NT, WS, X64, false, "Windows 7"},
      {6, 1, NT, SRV, X64, true, "Windows Server 2008 R2"},
      {6, 2, NT, WS, X64, false, ""},
      {6, 3, NT, WS, X64, false, ""},
      {10, 0, NT, WS, X64, false, "unknown"},
      {3, 51, NT, WS, X86, false, "unknown"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetOSName(c.major, c.minor, c.platformId, c.product, c.arch, c.r2), c.name)
        << c.major << "." << c.minor << " platform " << c.platformId << " product "
        << int{c.product};
  }
  EXPECT_EQ(GetOSName(), "");  // no Windows version to ask for
}

TEST(OsName, PrettyNameOfOsRelease) {
  support::TempDir dir;
  struct Case {
    const char* content;
    const char* name;
  };
  const Case cases[] = {
      {"NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Single quoted'\n", "Single quoted"},
      {"PRETTY_NAME=Bare\n", "Bare"},
      {"PRETTY_NAME=\"With \\\"escapes\\\" and \\$\"\n", "With \"escapes\" and $"},
      {"NAME=Nothing pretty\n", ""},
      {"  PRETTY_NAME=indented is no key\n", ""},
  };
  for (const Case& c : cases) {
    dir.Write("os-release", c.content);
    EXPECT_EQ(ReadOsPrettyName(dir.Sub("os-release")), c.name) << c.content;
  }
  EXPECT_EQ(ReadOsPrettyName(dir.Sub("missing")), "");

  InitOSInfo();
  EXPECT_EQ(g_SysType, 2);
  EXPECT_EQ(g_OSName, ReadOsPrettyName("/etc/os-release").empty()
                          ? ReadOsPrettyName("/usr/lib/os-release")
                          : ReadOsPrettyName("/etc/os-release"));
}

}  // namespace
