// Relayed downloads and uploads with the built programs: tirvan-central, TirvanClient under
// the built-in service manager (configured for that server, with the account stored), and
// tirvan-device fetching and storing files through the server.
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "central/account_store.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kEmail = "transfer@tirvan.test";
constexpr const char* kPassword = "transfer";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A program running beside the test, its output in a file; ended with SIGTERM.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outPath) : m_out(outPath) {
    m_pid = ::fork();
    if (m_pid == 0) {
      if (std::freopen(outPath.c_str(), "w", stdout) == nullptr) ::_exit(127);
      ::dup2(1, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 10000);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  std::string Output() const { return ReadFile(m_out); }
  std::string WaitLine(const std::string& prefix, int ms) const {
    std::string found;
    WaitUntil(
        [&] {
          std::string out = Output();
          size_t pos = out.find(prefix);
          size_t end = pos == std::string::npos ? pos : out.find('\n', pos);
          if (end == std::string::npos) return false;
          found = out.substr(pos + prefix.size(), end - pos - prefix.size());
          return true;
        },
        ms);
    return found;
  }

 private:
  std::string m_out;
  pid_t m_pid = -1;
};

std::string LoggedOnStation(const std::string& stateFile) {
  std::string text = ReadFile(stateFile);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, nullptr)) return "";
  const Json::Value& list = root["stations"];
  if (!list.isArray() || list.size() != 1 || !list[0]["loggedOn"].asBool()) return "";
  return list[0]["station"].asString();
}

class RelayTransferProgramTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    m_tmp.MakeDir("scm");
    m_tmp.MakeDir("lock");
    m_tmp.MakeDir("local");
    for (const char* v : {"NOTIFY_SOCKET", "INVOCATION_ID", "TIRVAN_SCM_SERVICE"}) ::unsetenv(v);
    ::setenv("TIRVAN_SCM", "builtin", 1);
    ::setenv("TIRVAN_SCM_DIR", m_tmp.Sub("scm").c_str(), 1);
    ::setenv("TIRVAN_LOCK_DIR", m_tmp.Sub("lock").c_str(), 1);
    ::setenv("TIRVAN_UPNP_ROOT_URL", "http://127.0.0.1:1/rootDesc.xml", 1);
    // Relayed uploads start within milliseconds instead of seconds.
    ::setenv("TIRVAN_UPLOAD_POLL_MS", "20", 1);
    ::setenv("TIRVAN_UPLOAD_BACKOFF_MS", "10", 1);
  }
  void TearDown() override {
    if (m_started) platform::RunCommand({TIRVAN_SC_PATH, "stop", "Tirvan"}, 20000);
    ::unsetenv("TIRVAN_UPLOAD_POLL_MS");
    ::unsetenv("TIRVAN_UPLOAD_BACKOFF_MS");
  }

  platform::CommandResult Run(const std::vector<std::string>& argv) {
    return platform::RunCommand(argv, 60000);
  }
  platform::CommandResult Device(const std::vector<std::string>& args, bool quiet = true) {
    std::vector<std::string> argv{TIRVAN_DEVICE_PATH, "--relay", m_serverAddress, "--account",
                                  kEmail, "--hash", m_hash, "--station", m_station,
                                  "--timeout", "10000"};
    if (quiet) argv.push_back("--quiet");
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
  }

  support::TempDir m_tmp;
  bool m_started = false;
  std::string m_serverAddress;
  std::string m_hash = central::HashPassword(kPassword);
  std::string m_station;
};

TEST_F(RelayTransferProgramTest, DownloadsAndUploadsThroughTheServerWithResumeAndStop) {
  const std::string centralDb = m_tmp.Sub("central.db");
  const std::string state = m_tmp.Sub("central-state.json");
  platform::CommandResult r = Run(
      {TIRVAN_CENTRAL_BIN, "account", "add", "--db", centralDb, kEmail, "--password", kPassword});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  Child central(
      {TIRVAN_CENTRAL_BIN, "--db", centralDb, "--listen", "127.0.0.1:0", "--state", state},
      m_tmp.Sub("central.out"));
  std::string port = central.WaitLine("listening on 127.0.0.1:", 10000);
  ASSERT_FALSE(port.empty()) << central.Output();
  m_serverAddress = "127.0.0.1:" + port;

  const std::string root = m_tmp.Sub("root");
  const std::string share = m_tmp.Sub("share");
  m_tmp.MakeDir("share");
  m_tmp.MakeDir("share/up");
  r = Run({TIRVAN_SETUP_PATH, "--root", root, "--port", "0", "--server", m_serverAddress,
           "--share", share, "--log-priority", "700"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::filesystem::copy_file(TIRVAN_CLIENT_PATH, root + "/bin/TirvanClient");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/etc/Tirvan.db").c_str(), &db), SQLITE_OK);
    std::string sql = "delete from qz_user; insert into qz_user(email, psw) values('" +
                      std::string(kEmail) + "', '" + m_hash + "');";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  r = Run({root + "/bin/TirvanClient", "-i", "Tirvan"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  r = Run({TIRVAN_SC_PATH, "start", "Tirvan"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err << m_tmp.Read("scm/Tirvan.log");
  m_started = true;

  ASSERT_TRUE(WaitUntil([&] { return !(m_station = LoggedOnStation(state)).empty(); }, 20000))
      << ReadFile(state) << central.Output();
  platform::CommandResult shares;
  WaitUntil(
      [&] {
        shares = Device({"shares"});
        return shares.exitCode == 0 || shares.err.find("not connected") == std::string::npos;
      },
      15000);
  ASSERT_EQ(shares.exitCode, 0) << shares.out << shares.err << central.Output();

  const std::vector<size_t> sizes = {0, 1, 1000, 1001, (5u << 20) + 7};
  // Downloads, byte-identical.
  for (size_t size : sizes) {
    SCOPED_TRACE("download " + std::to_string(size));
    const std::string name = "d" + std::to_string(size) + ".bin";
    const std::string content = RandomBytes(size, static_cast<unsigned>(size) + 1);
    WriteFile(share + "/" + name, content);
    platform::CommandResult get = Device({"get", share + "/" + name, m_tmp.Sub("local/" + name)});
    ASSERT_EQ(get.exitCode, 0) << get.out << get.err;
    EXPECT_TRUE(ReadFile(m_tmp.Sub("local/" + name)) == content);
  }
  const std::string serviceLog = root + "/log/Log.txt";
  EXPECT_NE(ReadFile(serviceLog).find("using interline"), std::string::npos);

  // A download stopped midway, then resumed from what arrived.
  {
    const std::string content = RandomBytes(6u << 20, 99);
    WriteFile(share + "/big.bin", content);
    const std::string local = m_tmp.Sub("local/big.bin");
    platform::CommandResult stop =
        Device({"get", share + "/big.bin", local, "--stop-after", "1000000"});
    ASSERT_EQ(stop.exitCode, 0) << stop.out << stop.err;
    EXPECT_NE(stop.out.find("stopped after 1000000 bytes"), std::string::npos) << stop.out;
    EXPECT_EQ(FileSize(local), 1000000);
    EXPECT_TRUE(WaitUntil(
        [&] {
          return ReadFile(serviceLog).find("get cmd to stop download OK") != std::string::npos;
        },
        5000));
    platform::CommandResult resume = Device({"get", share + "/big.bin", local, "--resume"});
    ASSERT_EQ(resume.exitCode, 0) << resume.out << resume.err;
    EXPECT_TRUE(ReadFile(local) == content);
  }

  // Uploads, byte-identical once the service has fetched the end.
  for (size_t size : sizes) {
    SCOPED_TRACE("upload " + std::to_string(size));
    const std::string name = "u" + std::to_string(size) + ".bin";
    const std::string content = RandomBytes(size, static_cast<unsigned>(size) + 7);
    WriteFile(m_tmp.Sub("local/" + name), content);
    platform::CommandResult put = Device({"put", m_tmp.Sub("local/" + name), share + "/up"});
    ASSERT_EQ(put.exitCode, 0) << put.out << put.err;
    const std::string target = share + "/up/" + name;
    EXPECT_TRUE(WaitUntil([&] { return FileSize(target) == static_cast<long long>(size); }, 10000))
        << FileSize(target);
    EXPECT_TRUE(ReadFile(target) == content);
  }

  // An upload cut off midway: what the service fetched before the device went stays, and
  // the next announcement resumes from it.
  {
    const std::string content = RandomBytes((4u << 20) + 3, 123);
    const std::string local = m_tmp.Sub("local/ubig.bin");
    WriteFile(local, content);
    platform::CommandResult cut = Device({"put", local, share + "/up", "--stop-after", "1500000"});
    ASSERT_EQ(cut.exitCode, 0) << cut.out << cut.err;
    EXPECT_NE(cut.out.find("stopped after 1500000 bytes"), std::string::npos) << cut.out;
    const std::string data = share + "/up/ubig.bintirvan.rename";
    // The data file stops growing once the server has dropped the rest of the cut upload.
    long long held = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
          long long now = FileSize(data);
          bool steady = now > 0 && now == held;
          held = now;
          return steady;
        },
        10000));
    EXPECT_LE(held, 1500000);
    EXPECT_TRUE(ReadFile(data) == content.substr(0, static_cast<size_t>(held)));
    platform::CommandResult resume = Device({"put", local, share + "/up"}, false);
    ASSERT_EQ(resume.exitCode, 0) << resume.out << resume.err;
    EXPECT_NE(resume.out.find("from offset " + std::to_string(held) + " "), std::string::npos)
        << resume.out;
    const std::string target = share + "/up/ubig.bin";
    EXPECT_TRUE(WaitUntil(
        [&] { return FileSize(target) == static_cast<long long>(content.size()); }, 10000));
    EXPECT_TRUE(ReadFile(target) == content);
    EXPECT_EQ(FileSize(data), -1);
  }
}

}  // namespace
