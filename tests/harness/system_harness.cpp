#include "system_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "central/account_store.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "device/relay_transport.h"

namespace systest {

namespace {

constexpr const char* kName = "Tirvan";

// 64-bit FNV-1a: enough to tell a changed file from an unchanged one.
uint64_t Checksum(const std::string& data) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : data) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

void BecomeSubreaper() {
  // The service runs detached from its manager; as subreaper the test reaps it.
  static const bool once = [] {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    return true;
  }();
  (void)once;
}

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

void JpegSilence(j_common_ptr, int) {}

// Both folders are made; the service's environment is this process's.
void PrepareEnvironment(const support::TempDir& tmp) {
  std::error_code ec;
  std::filesystem::create_directories(tmp.Sub("scm"), ec);
  std::filesystem::create_directories(tmp.Sub("lock"), ec);
  for (const char* v : {"NOTIFY_SOCKET", "INVOCATION_ID", "TIRVAN_SCM_SERVICE"}) ::unsetenv(v);
  ::setenv("TIRVAN_SCM", "builtin", 1);
  ::setenv("TIRVAN_SCM_DIR", tmp.Sub("scm").c_str(), 1);
  ::setenv("TIRVAN_LOCK_DIR", tmp.Sub("lock").c_str(), 1);
  // No home router, no power-off, no tray program to ask about device logins.
  ::setenv("TIRVAN_UPNP_ROOT_URL", "http://127.0.0.1:1/rootDesc.xml", 1);
  ::setenv("TIRVAN_POWEROFF_CMD", "/bin/false", 1);
  ::setenv("TIRVAN_TRAY_LOGIN_PORT", "1", 1);
}

}  // namespace

const std::string& SetupProgram() {
  static const std::string p = TIRVAN_SETUP_PATH;
  return p;
}
const std::string& ClientProgram() {
  static const std::string p = TIRVAN_CLIENT_PATH;
  return p;
}
const std::string& CentralProgram() {
  static const std::string p = TIRVAN_CENTRAL_BIN;
  return p;
}
const std::string& DeviceProgram() {
  static const std::string p = TIRVAN_DEVICE_PATH;
  return p;
}
const std::string& RendezvousProgram() {
  static const std::string p = TIRVAN_RENDEZVOUS_PATH;
  return p;
}
const std::string& TrayListenerProgram() {
  static const std::string p = TIRVAN_TRAY_LISTENER_PATH;
  return p;
}
const std::string& IgdProgram() {
  static const std::string p = TIRVAN_IGD_PATH;
  return p;
}

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

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string RandomBytes(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::string s(n, '\0');
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v = gen();
    std::memcpy(s.data() + i, &v, 8);
  }
  for (; i < n; ++i) s[i] = static_cast<char>(gen());
  return s;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
  return true;
}

std::map<std::string, std::string> TreeSnapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  auto it = std::filesystem::recursive_directory_iterator(dir, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const auto& path = it->path();
    std::string rel = std::filesystem::relative(path, dir, ec).string();
    auto status = std::filesystem::symlink_status(path, ec);
    if (std::filesystem::is_symlink(status)) {
      out[rel] = "-> " + std::filesystem::read_symlink(path, ec).string();
    } else if (std::filesystem::is_directory(status)) {
      out[rel + "/"] = "folder";
    } else {
      std::string data = ReadFile(path.string());
      out[rel] = std::to_string(data.size()) + " " + std::to_string(Checksum(data));
    }
  }
  return out;
}

std::string LanAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* i = list; i != nullptr && found.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    if (std::strncmp(text, "127.", 4) != 0) found = text;
  }
  ::freeifaddrs(list);
  return found;
}

std::string CrashReports(const std::string& output) {
  std::string found;
  for (const char* key : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                          "terminate called", "Segmentation fault"}) {
    size_t at = output.find(key);
    if (at != std::string::npos) found += output.substr(at, 2000) + "\n";
  }
  return found;
}

// ---- Child

Child::Child(const std::vector<std::string>& argv, const std::string& outPath) : m_out(outPath) {
  m_pid = ::fork();
  if (m_pid == 0) {
    if (std::freopen(outPath.c_str(), "a", stdout) == nullptr) ::_exit(127);
    ::dup2(1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

Child::~Child() {
  if (m_pid > 0) Kill(SIGTERM);
}

void Child::Kill(int sig) {
  if (m_pid <= 0) return;
  ::kill(m_pid, sig);
  int status = 0;
  if (!WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 10000)) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
  }
  m_pid = -1;
}

std::string Child::WaitLine(const std::string& prefix, int ms) const {
  std::string found;
  WaitUntil(
      [&] {
        std::string out = Output();
        size_t pos = out.rfind(prefix);
        size_t end = pos == std::string::npos ? pos : out.find('\n', pos);
        if (end == std::string::npos) return false;
        found = out.substr(pos + prefix.size(), end - pos - prefix.size());
        return true;
      },
      ms);
  return found;
}

// ---- Central

Central::Central(const support::TempDir& tmp, std::string email, std::string password)
    : m_tmp(tmp),
      m_email(std::move(email)),
      m_password(std::move(password)),
      m_hash(central::HashPassword(m_password)) {
  AddAccount(m_email, m_password);
}

bool Central::AddAccount(const std::string& email, const std::string& password) const {
  platform::CommandResult r =
      platform::RunCommand({CentralProgram(), "account", "add", "--db", m_tmp.Sub("central.db"),
                            email, "--password", password},
                           30000);
  if (r.exitCode != 0) std::fprintf(stderr, "account add: %s%s\n", r.out.c_str(), r.err.c_str());
  return r.exitCode == 0;
}

bool Central::Start(const std::vector<std::string>& extraArgs) {
  if (m_child) return true;
  std::vector<std::string> argv{CentralProgram(),   "--db",    m_tmp.Sub("central.db"),
                                "--listen",         "127.0.0.1:" + std::to_string(m_port),
                                "--state",          m_tmp.Sub("central-state.json")};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  const std::string out = m_tmp.Sub("central." + std::to_string(++m_starts) + ".out");
  m_child = std::make_unique<Child>(argv, out);
  std::string port = m_child->WaitLine("listening on 127.0.0.1:", 10000);
  if (port.empty()) {
    m_child.reset();
    return false;
  }
  m_port = static_cast<uint16_t>(std::atoi(port.c_str()));
  return true;
}

void Central::Kill() {
  if (!m_child) return;
  m_child->Kill(SIGKILL);
  m_child.reset();
  // What the dead server wrote about logged-on PCs no longer holds.
  std::remove(m_tmp.Sub("central-state.json").c_str());
}

std::optional<Json::Value> Central::Station() const {
  std::string text = ReadFile(m_tmp.Sub("central-state.json"));
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, nullptr)) return std::nullopt;
  const Json::Value& list = root["stations"];
  if (!list.isArray() || list.size() != 1) return std::nullopt;
  return list[0];
}

std::string Central::LoggedOnStation() const {
  std::optional<Json::Value> pc = Station();
  if (!pc || !(*pc)["loggedOn"].asBool()) return "";
  return (*pc)["station"].asString();
}

std::string Central::Output() const {
  std::string all;
  for (int i = 1; i <= m_starts; ++i) {
    all += ReadFile(m_tmp.Sub("central." + std::to_string(i) + ".out"));
  }
  return all;
}

// ---- Rendezvous

Rendezvous::Rendezvous(const support::TempDir& tmp) : m_tmp(tmp) {}

bool Rendezvous::Start() {
  if (m_child) return true;
  m_child = std::make_unique<Child>(
      std::vector<std::string>{RendezvousProgram(), "--listen", "127.0.0.1:0"},
      m_tmp.Sub("rendezvous.out"));
  std::string port = m_child->WaitLine("listening on 127.0.0.1:", 10000);
  if (port.empty()) {
    m_child.reset();
    return false;
  }
  m_port = static_cast<uint16_t>(std::atoi(port.c_str()));
  return true;
}

void Rendezvous::Stop() {
  if (m_child) m_child->Kill(SIGTERM);
  m_child.reset();
}

bool Rendezvous::Knows(const std::string& station) const {
  // The server writes station ids in capitals.
  std::string id = station;
  std::transform(id.begin(), id.end(), id.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return !id.empty() && Output().find("station " + id + " (") != std::string::npos;
}

std::string Rendezvous::Output() const { return ReadFile(m_tmp.Sub("rendezvous.out")); }

// ---- ProcessView

ProcessView ViewProcess(pid_t pid) {
  ProcessView v;
  if (pid <= 0) return v;
  const std::string proc = "/proc/" + std::to_string(pid);
  DIR* dir = ::opendir((proc + "/fd").c_str());
  if (dir == nullptr) return v;
  while (struct dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char target[4096];
    ssize_t n = ::readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    std::string t(target, static_cast<size_t>(n));
    if (t.rfind("socket:", 0) == 0) {
      ++v.sockets;
      continue;
    }
    if (t.rfind("pipe:", 0) == 0) t = "pipe";
    v.fds.push_back(t);
  }
  ::closedir(dir);
  std::sort(v.fds.begin(), v.fds.end());
  std::istringstream status(ReadFile(proc + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) v.rssKiB = std::atol(line.c_str() + 6);
    if (line.rfind("State:", 0) == 0) v.alive = line.find('Z') == std::string::npos;
  }
  return v;
}

uint16_t ListeningPort(pid_t pid) {
  if (pid <= 0) return 0;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::vector<std::string> inodes;
  if (DIR* dir = ::opendir((proc + "/fd").c_str())) {
    while (struct dirent* e = ::readdir(dir)) {
      char target[256];
      ssize_t n = ::readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      std::string t(target, static_cast<size_t>(n));
      if (t.rfind("socket:[", 0) == 0) inodes.push_back(t.substr(8, t.size() - 9));
    }
    ::closedir(dir);
  }
  // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
  std::istringstream tcp(ReadFile(proc + "/net/tcp"));
  std::string line;
  std::getline(tcp, line);
  while (std::getline(tcp, line)) {
    std::istringstream f(line);
    std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
    f >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode;
    if (st != "0A" || std::find(inodes.begin(), inodes.end(), inode) == inodes.end()) continue;
    size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    return static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
  }
  return 0;
}

// ---- Service

Service::Service(const support::TempDir& tmp, ServiceOptions options)
    : m_tmp(tmp), m_options(std::move(options)), m_root(tmp.Sub("root")) {
  BecomeSubreaper();
  PrepareEnvironment(m_tmp);
  std::vector<std::string> argv{SetupProgram(), "--root", m_root, "--port", "0",
                                "--log-priority", std::to_string(m_options.logPriority)};
  if (m_options.central != nullptr) {
    argv.push_back("--server");
    argv.push_back(m_options.central->Address());
  }
  if (m_options.rendezvous != nullptr) {
    argv.push_back("--p2p");
    argv.push_back(m_options.rendezvous->Address());
  }
  for (const std::string& s : m_options.shares) {
    argv.push_back("--share");
    argv.push_back(s);
  }
  platform::CommandResult setup = platform::RunCommand(argv, 30000);
  if (setup.exitCode != 0) {
    std::fprintf(stderr, "tirvan-setup: %s%s\n", setup.out.c_str(), setup.err.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::copy_file(ClientProgram(), m_root + "/bin/TirvanClient",
                             std::filesystem::copy_options::overwrite_existing, ec);
  if (m_options.central != nullptr) {
    sqlite3* db = nullptr;
    if (sqlite3_open(DbPath().c_str(), &db) == SQLITE_OK) {
      std::string sql = "delete from qz_user; insert into qz_user(email, psw) values('" +
                        m_options.central->email() + "', '" + m_options.central->hash() + "');";
      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
  }
  platform::ServiceManagerOptions o;
  o.stateDir = m_tmp.Sub("scm");
  o.pollMs = 10;
  m_scm = platform::OpenBuiltinServiceManager(o);
  platform::ScmResult installed = m_scm->Install(kName, m_root + "/bin/TirvanClient");
  if (!installed.ok()) std::fprintf(stderr, "install: %s\n", installed.message.c_str());
}

Service::~Service() {
  if (m_started) Stop();
}

bool Service::Start() {
  if (!m_scm) return false;
  for (const auto& [k, v] : m_options.env) ::setenv(k.c_str(), v.c_str(), 1);
  platform::ScmResult started = m_scm->Start(kName, 20000);
  // The start-up gives the local server 200 ms to listen; on a machine loaded with
  // parallel sanitizer runs that can pass. Such a start is tried again.
  for (int again = 0; again < 2 && !started.ok() &&
                      started.message.find("exit code 4130") != std::string::npos;
       ++again) {
    std::fprintf(stderr, "start: %s; starting again\n", started.message.c_str());
    started = m_scm->Start(kName, 20000);
  }
  if (!started.ok()) {
    std::fprintf(stderr, "start: %s\n%s\n", started.message.c_str(), Output().c_str());
    return false;
  }
  m_started = true;
  // The local server's port: the one TCP socket the service listens on, whatever the log
  // priority lets the log say.
  m_port = 0;
  WaitUntil(
      [&] {
        m_port = ListeningPort(pid());
        return m_port != 0;
      },
      10000);
  if (m_port == 0) std::fprintf(stderr, "the service does not listen\n%s\n", Output().c_str());
  return m_port != 0;
}

pid_t Service::pid() const {
  platform::ServiceStatus st;
  if (!m_scm || !m_scm->QueryStatus(kName, &st).ok()) return -1;
  return st.state == platform::ServiceState::kStopped ? -1 : static_cast<pid_t>(st.pid);
}

bool Service::Stop() {
  if (!m_scm) return false;
  pid_t p = pid();
  m_started = false;
  platform::ScmResult stopped = m_scm->Stop(kName, 20000);
  if (p > 0) ::waitpid(p, nullptr, 0);
  return stopped.ok();
}

bool Service::Kill() {
  pid_t p = pid();
  if (p <= 0) return false;
  m_started = false;
  if (::kill(p, SIGKILL) != 0) return false;
  ::waitpid(p, nullptr, 0);
  return WaitUntil(
      [&] {
        platform::ServiceStatus now;
        return m_scm->QueryStatus(kName, &now).ok() &&
               now.state == platform::ServiceState::kStopped;
      },
      10000);
}

std::string Service::Log() const { return ReadFile(m_root + "/log/Log.txt"); }

std::string Service::Output() const { return ReadFile(m_tmp.Sub("scm/Tirvan.log")); }

std::string Service::Reports() const { return CrashReports(Output()); }

std::optional<support::Message> Service::Tray(uint16_t opcode, const std::string& payload,
                                              int timeoutMs) const {
  support::MsgClient c;
  if (!c.Connect(m_port)) return std::nullopt;
  if (!c.Send(opcode, 0, payload)) return std::nullopt;
  return c.Recv(timeoutMs);
}

bool Service::Transfers(int* entries, int* downloads) const {
  auto m = Tray(OP_SHOW_GET_IS_TRANING);
  if (!m || m->body.size() != 4) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(m->body.data());
  *entries = wire::GetU16(p);
  *downloads = static_cast<int16_t>(wire::GetU16(p + 2));
  return true;
}

long Service::LogOnResult() const {
  auto m = Tray(OP_SHOW_LOG_ON_STATUES);
  if (!m || m->body.size() != 4) return -1;
  return static_cast<long>(wire::GetU32(reinterpret_cast<const uint8_t*>(m->body.data())));
}

std::vector<TransRow> Service::TransLog() const {
  std::vector<TransRow> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(DbPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "select type, file, size from qz_trans order by id", -1, &st,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      rows.push_back({sqlite3_column_int(st, 0),
                      reinterpret_cast<const char*>(sqlite3_column_text(st, 1)),
                      sqlite3_column_int64(st, 2)});
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

bool Service::WaitRelay(const Central& central, int timeoutMs) const {
  return WaitUntil(
      [&] {
        auto c = Relay(central, "probe", 3000);
        std::vector<std::string> shares;
        return c && c->GetShares(shares);
      },
      timeoutMs, 50);
}

bool Service::WaitIdle(int timeoutMs) const {
  return WaitUntil(
      [&] {
        int entries = -1, downloads = -1;
        return Transfers(&entries, &downloads) && entries == 0 && downloads == 0;
      },
      timeoutMs, 20);
}

std::unique_ptr<device::DeviceClient> Service::Lan(int timeoutMs) const {
  std::string error;
  auto t = device::ConnectTcp("127.0.0.1", m_port, timeoutMs, &error);
  if (!t) return nullptr;
  auto c = std::make_unique<device::DeviceClient>(std::move(t));
  c->SetTimeout(timeoutMs);
  return c;
}

std::unique_ptr<device::DeviceClient> Service::Relay(const Central& central,
                                                     const std::string& name,
                                                     int timeoutMs) const {
  std::string station = central.LoggedOnStation();
  if (station.empty()) return nullptr;
  device::RelayTarget target;
  target.host = "127.0.0.1";
  target.port = central.port();
  target.email = central.email();
  target.hash = central.hash();
  target.station = station;
  target.name = name;
  std::string error;
  auto t = device::ConnectRelay(target, timeoutMs, &error);
  if (!t) return nullptr;
  auto c = std::make_unique<device::DeviceClient>(std::move(t));
  c->SetTimeout(timeoutMs);
  return c;
}

// ---- Pictures

std::string MakeJpeg(int width, int height, uint64_t seed) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  jpeg_mem_dest(&cinfo, &buf, &len);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 85, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
  std::mt19937 gen(static_cast<unsigned>(seed));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      row[static_cast<size_t>(x) * 3] = static_cast<unsigned char>(x * 255 / width);
      row[static_cast<size_t>(x) * 3 + 1] = static_cast<unsigned char>(y * 255 / height);
      row[static_cast<size_t>(x) * 3 + 2] = static_cast<unsigned char>(gen() & 0x3F);
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::string out(reinterpret_cast<char*>(buf), len);
  jpeg_destroy_compress(&cinfo);
  std::free(buf);
  return out;
}

std::string MakeBmp(int width, int height, uint64_t seed) {
  const uint32_t rowBytes = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  const uint32_t dataBytes = rowBytes * static_cast<uint32_t>(height);
  std::string b(54 + dataBytes, '\0');
  auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); };
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, static_cast<uint32_t>(b.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(width));
  put32(22, static_cast<uint32_t>(height));
  put16(26, 1);
  put16(28, 24);
  put32(34, dataBytes);
  std::mt19937 gen(static_cast<unsigned>(seed));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      size_t at = 54 + static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x) * 3;
      b[at] = static_cast<char>(x * 255 / width);
      b[at + 1] = static_cast<char>(y * 255 / height);
      b[at + 2] = static_cast<char>(gen() & 0x3F);
    }
  }
  return b;
}

bool JpegSize(const std::vector<uint8_t>& jpeg, int* width, int* height) {
  if (jpeg.empty()) return false;
  jpeg_decompress_struct dinfo{};
  JpegError err{};
  dinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  err.pub.emit_message = JpegSilence;
  std::vector<unsigned char> row;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&dinfo);
    return false;
  }
  jpeg_create_decompress(&dinfo);
  jpeg_mem_src(&dinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  if (jpeg_read_header(&dinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&dinfo);
    return false;
  }
  jpeg_start_decompress(&dinfo);
  row.resize(static_cast<size_t>(dinfo.output_width) * static_cast<size_t>(dinfo.output_components));
  while (dinfo.output_scanline < dinfo.output_height) {
    JSAMPROW r = row.data();
    jpeg_read_scanlines(&dinfo, &r, 1);
  }
  *width = static_cast<int>(dinfo.image_width);
  *height = static_cast<int>(dinfo.image_height);
  jpeg_finish_decompress(&dinfo);
  jpeg_destroy_decompress(&dinfo);
  return true;
}

}  // namespace systest
