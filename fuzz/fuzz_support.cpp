#include "fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include "app/bmp_to_jpeg.h"
#include "app/download.h"
#include "app/schema_sql.h"
#include "app/transfer_table.h"
#include "comm/config_db.h"
#include "comm/log.h"
#include "comm/sqlite_db.h"
#include "comm/wire.h"

namespace fuzz {

namespace {

// What the layout holds, by path below the root (the database folder left out): the type,
// and for files and links their size and modification time.
struct Entry {
  mode_t type = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const Entry&) const = default;
};
using Snapshot = std::map<std::string, Entry>;
Snapshot g_layout;
std::vector<std::string> g_layoutShares;
DefaultDirInfo g_layoutDefaults;

void Walk(const std::string& dir, Snapshot& out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> subdirs;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    Entry entry;
    entry.type = st.st_mode & S_IFMT;
    if (!S_ISDIR(st.st_mode)) {
      entry.size = st.st_size;
      entry.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    } else {
      subdirs.push_back(path);
    }
    out[path] = entry;
  }
  ::closedir(d);
  for (const std::string& sub : subdirs) Walk(sub, out);
}

Snapshot TakeSnapshot(const Root& r) {
  Snapshot s;
  Walk(r.base, s);
  for (auto it = s.begin(); it != s.end();) {
    if (it->first == r.base + "/etc" || it->first.rfind(r.base + "/etc/", 0) == 0) {
      it = s.erase(it);
    } else {
      ++it;
    }
  }
  return s;
}

bool Below(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

bool SameDefaults(const DefaultDirInfo& a, const DefaultDirInfo& b) {
  return a.def == b.def && a.def_pic == b.def_pic && a.def_music == b.def_music &&
         a.def_video == b.def_video && a.def_doc == b.def_doc;
}

// A data file of an unfinished upload without its info file.
constexpr const char* kStaleResumeName = "a.txttirvan.rename";

// A 24-bit bottom-up BMP of w x h pixels in a simple pattern.
std::string MakeBmp(int w, int h) {
  size_t row = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
  std::string b(54 + row * static_cast<size_t>(h), '\0');
  auto le32 = [&](size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<char>(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  le32(2, static_cast<uint32_t>(b.size()));
  le32(10, 54);
  le32(14, 40);
  le32(18, static_cast<uint32_t>(w));
  le32(22, static_cast<uint32_t>(h));
  b[26] = 1;
  b[28] = 24;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      size_t at = 54 + static_cast<size_t>(y) * row + static_cast<size_t>(x) * 3;
      b[at] = static_cast<char>(x * 7);
      b[at + 1] = static_cast<char>(y * 5);
      b[at + 2] = static_cast<char>((x + y) * 3);
    }
  }
  return b;
}

void MakeJpeg(const std::string& dir, const std::string& path, int w, int h) {
  std::string bmp = dir + "/.make.bmp";
  WriteFile(bmp, MakeBmp(w, h));
  if (ConvertBmpToJpeg(bmp, path) != 1) Fail("cannot make the test pictures");
  ::unlink(bmp.c_str());
}

Root MakeRoot() {
  Root r;
  r.base = MakeTempDir("root");
  r.share = r.base + "/Shared";
  r.def = r.base + "/Tirvan";
  r.outside = r.base + "/Outside";
  for (const std::string& d :
       {r.base + "/etc", r.share, r.share + "/sub", r.share + "/sub/deeper", r.def,
        r.def + "/Pictures", r.def + "/Music", r.def + "/Video", r.def + "/Docs", r.outside,
        r.base + "/SharedX"}) {
    std::filesystem::create_directories(d);
  }
  const std::string secret = std::string(kSecretMarker) + "\n";
  WriteFile(r.outside + "/outside-secret.txt", secret);
  WriteFile(r.base + "/SharedX/outside-secret2.txt", secret);
  MakeJpeg(r.base, r.outside + "/secret.jpg", 97, kSecretPictureHeight);

  WriteFile(r.share + "/a.txt", std::string(2500, 'a'));
  WriteFile(r.share + "/empty.txt", "");
  WriteFile(r.share + "/sub/b.bin", std::string(1000, 'b'));
  WriteFile(r.share + "/sub/deeper/c.txt", "c");
  WriteFile(r.share + "/sp ace.txt", "space");
  WriteFile(r.share + "/.hidden", "hidden");
  WriteFile(r.share + "/" + kStaleResumeName, "resume");
  MakeJpeg(r.base, r.share + "/pic.jpg", 64, 48);
  WriteFile(r.share + "/pic.bmp", MakeBmp(40, 30));
  WriteFile(r.share + "/gray.bmp", "P5 8 6 255\n" + std::string(48, '\x80'));
  WriteFile(r.share + "/text.bmp", "P3 2 1 255\n1 2 3 4 5 6\n");
  WriteFile(r.share + "/broken.jpg", "\xFF\xD8\xFF\xE0 not a picture");
  MakeJpeg(r.base, r.def + "/Pictures/def.jpg", 33, 21);
  WriteFile(r.def + "/Docs/doc.txt", "doc");
  ::mkfifo((r.share + "/fifo").c_str(), 0600);
  ::symlink((r.outside + "/outside-secret.txt").c_str(), (r.share + "/link-out.txt").c_str());
  ::symlink((r.outside + "/secret.jpg").c_str(), (r.share + "/link-pic.jpg").c_str());
  ::symlink(r.outside.c_str(), (r.share + "/link-dir").c_str());
  ::symlink((r.base + "/nowhere").c_str(), (r.share + "/dangling").c_str());

  g_DB.OpenFile((r.base + "/etc/Tirvan.db").c_str());
  g_DB.RunCommand(kSchemaSql);
  // Port 9 of loopback: nothing listens there, so a connect fails at once.
  g_DB.RunCommand(
      "insert into qz_conf(localport,log_console,log_priority,svhost,svport,p2phost,p2pport)"
      " values(0,0,700,'127.0.0.1',9,'127.0.0.1',9)");
  DefShareRecord rec;
  std::memset(&rec, 0, sizeof rec);
  auto put = [](char* field, const std::string& text) { std::strncpy(field, text.c_str(), 259); };
  put(rec.def, r.def);
  put(rec.def_pic, r.def + "/Pictures");
  put(rec.def_music, r.def + "/Music");
  put(rec.def_video, r.def + "/Video");
  put(rec.def_doc, r.def + "/Docs");
  if (SetDefaultDir(rec) != 0 || SetShareInfo({r.share}) != 0) Fail("cannot set the shares");
  ParseShareInfo(g_layoutShares);
  ParseDefaultDir(g_layoutDefaults);
  g_layout = TakeSnapshot(r);
  return r;
}

std::unique_ptr<Root> g_root;

void RemoveRoot() {
  if (g_root) RemoveTree(g_root->base);
}

bool Contains(const uint8_t* data, size_t len, const char* text) {
  size_t n = std::strlen(text);
  if (data == nullptr || len < n) return false;
  for (size_t i = 0; i + n <= len; ++i) {
    if (std::memcmp(data + i, text, n) == 0) return true;
  }
  return false;
}

std::atomic<size_t> g_udtBytes{0};

int FakeUdtSend(int32_t, const char* buf, int len) {
  if (len > 0) CheckNoLeak(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(len));
  g_udtBytes += static_cast<size_t>(std::max(len, 0));
  return len;
}

// The connection of direct messages: one end of a pair whose output is checked and
// dropped after every record.
struct PairConn {
  event_base* base = nullptr;
  bufferevent* pair[2] = {nullptr, nullptr};
};

PairConn& Conn() {
  static PairConn* c = [] {
    auto* p = new PairConn;
    p->base = event_base_new();
    if (p->base == nullptr || bufferevent_pair_new(p->base, 0, p->pair) != 0) {
      Fail("cannot make the bufferevent pair");
    }
    bufferevent_enable(p->pair[0], EV_READ | EV_WRITE);
    bufferevent_enable(p->pair[1], EV_READ | EV_WRITE);
    return p;
  }();
  return *c;
}

size_t DrainAndCheck(evbuffer* buf, bool checkLeaks) {
  size_t n = evbuffer_get_length(buf);
  if (n == 0) return 0;
  if (checkLeaks) CheckNoLeak(evbuffer_pullup(buf, static_cast<ev_ssize_t>(n)), n);
  evbuffer_drain(buf, n);
  return n;
}

}  // namespace

bool Verbose() {
  static const bool on = std::getenv("TIRVAN_FUZZ_VERBOSE") != nullptr;
  return on;
}

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz target failure: %s\n", what);
  std::abort();
}

void LogToNull() {
  static std::once_flag once;
  std::call_once(once, [] { g_Log.Open("/dev/null", LOG_DEBUG, false); });
}

uint32_t TouchAll(const uint8_t* data, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i < len; ++i) sum += data[i];
  return sum;
}

std::string MakeTempDir(const char* tag) {
  std::string tmpl = (std::filesystem::temp_directory_path() /
                      (std::string("tirvan-fuzz-") + tag + "-XXXXXX"))
                         .string();
  if (::mkdtemp(tmpl.data()) == nullptr) Fail("mkdtemp failed");
  return tmpl;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) Fail("cannot write a test file");
}

const Root& TestRoot() {
  if (!g_root) {
    g_root = std::make_unique<Root>(MakeRoot());
    std::atexit(RemoveRoot);
  }
  return *g_root;
}

void CheckAndRestoreRoot() {
  const Root& r = TestRoot();
  Snapshot now = TakeSnapshot(r);
  for (const auto& [path, entry] : g_layout) {
    auto it = now.find(path);
    // The stale resume file of the layout is the service's own: a new upload of its
    // target may take it over. It is laid out again.
    if (path == r.share + "/" + kStaleResumeName) {
      if (it == now.end() || !(it->second == entry)) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
        WriteFile(path, "resume");
        Snapshot again;
        Walk(r.share, again);
        g_layout[path] = again[path];
      }
      continue;
    }
    if (it == now.end()) {
      std::fprintf(stderr, "gone: %s\n", path.c_str());
      Fail("a file of the layout was removed");
    }
    if (!(it->second == entry)) {
      std::fprintf(stderr, "changed: %s\n", path.c_str());
      Fail("a file of the layout was changed");
    }
  }
  std::vector<std::string> made;
  for (const auto& [path, entry] : now) {
    if (g_layout.count(path) != 0) continue;
    if (!Below(path, r.share) && !Below(path, r.def)) {
      std::fprintf(stderr, "made: %s\n", path.c_str());
      Fail("something was written outside the shares");
    }
    made.push_back(path);
  }
  // Deepest first, so that a folder is empty when its turn comes.
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    if (Verbose()) std::fprintf(stderr, "made in the shares: %s\n", it->c_str());
    std::error_code ec;
    std::filesystem::remove_all(*it, ec);
  }

  std::vector<std::string> shares;
  ParseShareInfo(shares);
  if (shares != g_layoutShares && SetShareInfo(g_layoutShares) != 0) Fail("cannot reset shares");
  DefaultDirInfo defaults;
  ParseDefaultDir(defaults);
  if (!SameDefaults(defaults, g_layoutDefaults)) {
    DefShareRecord rec;
    std::memset(&rec, 0, sizeof rec);
    auto put = [](char* field, const std::string& text) { std::strncpy(field, text.c_str(), 259); };
    put(rec.def, g_layoutDefaults.def);
    put(rec.def_pic, g_layoutDefaults.def_pic);
    put(rec.def_music, g_layoutDefaults.def_music);
    put(rec.def_video, g_layoutDefaults.def_video);
    put(rec.def_doc, g_layoutDefaults.def_doc);
    if (SetDefaultDir(rec) != 0) Fail("cannot reset the default folders");
  }
}

void CheckNoLeak(const uint8_t* data, size_t len) {
  if (Contains(data, len, kSecretMarker)) Fail("bytes of a file outside the shares were sent");
  if (Contains(data, len, "outside-secret")) Fail("a name outside the shares was listed");
  std::string height = "Thumb::Image::Height\n" + std::to_string(kSecretPictureHeight);
  if (Contains(data, len, height.c_str())) Fail("a picture outside the shares was thumbnailed");
}

uint8_t Reader::U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }

uint16_t Reader::U16() {
  uint16_t hi = U8();
  return static_cast<uint16_t>((hi << 8) | U8());
}

uint32_t Reader::U32() {
  uint32_t hi = U16();
  return (hi << 16) | U16();
}

std::vector<uint8_t> Reader::Bytes(size_t n) {
  n = std::min(n, Left());
  std::vector<uint8_t> out(m_data + m_pos, m_data + m_pos + n);
  m_pos += n;
  return out;
}

std::vector<uint8_t> Reader::Rest() { return Bytes(Left()); }

void InitRequestTarget(const std::vector<HandlerEntry>& table) {
  static bool done = false;
  if (done) return;
  done = true;
  LogToNull();
  TestRoot();
  for (const HandlerEntry& e : table) OS_RegFunction(e.handler, e.opcode);
  SetUdtSendForTest(FakeUdtSend);
  SetStopDownLoadWaitStep(std::chrono::milliseconds(0));
  Conn();
}

void RunRequests(const std::vector<HandlerEntry>& table, const uint8_t* data, size_t size,
                 bool checkLeaks) {
  Reader in(data, size);
  PairConn& pc = Conn();
  while (!in.Empty() && !table.empty()) {
    const HandlerEntry& e = table[in.U8() % table.size()];
    uint8_t flags = in.U8();
    uint32_t seq = in.U8();
    std::vector<uint8_t> bytes = in.Bytes(in.U16());

    uint8_t direct = (flags & 1) != 0 ? 1 : 0;
    int32_t udtSock = (flags & 2) != 0 ? kFuzzUdtSock : -1;
    Origin origin = udtSock >= 0    ? Origin::Udt
                    : direct == 0   ? Origin::Relay
                    : IsTrayOpcode(e.opcode) ? Origin::Loopback
                                    : Origin::Lan;
    // What the transport would have read: the message's own length in its head.
    size_t msgLen = MsgHead::kSize + bytes.size();
    if (direct == 0) msgLen = bytes.size() >= 64 ? msgLen - 64 : MsgHead::kSize;
    MsgHead head{static_cast<uint16_t>(msgLen), e.opcode, seq};

    // Exactly bodyLen bytes, so that a read past the body is caught.
    std::unique_ptr<uint8_t[]> body;
    if (!bytes.empty()) {
      body.reset(new uint8_t[bytes.size()]);
      std::memcpy(body.get(), bytes.data(), bytes.size());
    }
    uint8_t* reply = nullptr;
    int32_t replyLen = 0;
    bufferevent* conn = udtSock >= 0 ? nullptr : pc.pair[0];
    g_udtBytes = 0;
    int rc = Dispatch(&head, body.get(), static_cast<uint32_t>(bytes.size()), conn, &reply,
                      &replyLen,
             udtSock, direct, origin);
    if (reply != nullptr && replyLen > 0) {
      TouchAll(reply, static_cast<size_t>(replyLen));
      if (checkLeaks) CheckNoLeak(reply, static_cast<size_t>(replyLen));
    }
    FreeReply(reply);
    size_t sent = DrainAndCheck(bufferevent_get_output(pc.pair[0]), checkLeaks);
    sent += DrainAndCheck(bufferevent_get_input(pc.pair[1]), checkLeaks);
    if (Verbose()) {
      std::fprintf(stderr,
                   "opcode 0x%04X direct %u udt %d seq %u body %zu: rc %d reply %d sent %zu\n",
                   e.opcode, direct, udtSock, seq, bytes.size(), rc, replyLen,
                   sent + g_udtBytes.load());
    }
  }
  TransTableClear();
  CheckAndRestoreRoot();
}

}  // namespace fuzz
