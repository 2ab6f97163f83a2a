// Hostile paths against the running service: every request that takes a path (folder
// listing, download, upload, thumbnail; the tray's folder browsing from loopback) gets
// "..", "\", absolute paths, symlinks out of a share, a sibling folder whose name starts
// like the share's, over-long paths and invalid UTF-8, over the LAN and through the relay.
// Canary files wait outside the shares: none may be listed, served, thumbnailed,
// overwritten, and nothing may be created next to them.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/md5.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "system_harness.h"

namespace {

using device::DeviceClient;
using device::Message;

constexpr const char* kToken = "TIRVAN-CANARY-3f9c2a7d";

std::string Backslashed(std::string s) {
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

// A record field holding text, NUL-padded; text longer than the field fills it whole
// (no terminating NUL), as a hostile device may send it.
void PutField(std::string& rec, size_t at, size_t size, const std::string& text) {
  rec.replace(at, std::min(size, text.size()), text.substr(0, size));
}

std::string PathRecord(const std::string& path) {
  std::string rec(356, '\0');
  PutField(rec, 1, 355, path);
  return rec;
}

std::string ThumbRecord(const std::string& path, uint16_t w, uint16_t h) {
  std::string rec(360, '\0');
  wire::PutU16(reinterpret_cast<uint8_t*>(rec.data()), w);
  wire::PutU16(reinterpret_cast<uint8_t*>(rec.data()) + 2, h);
  PutField(rec, 4, 256, path);
  return rec;
}

std::string UploadRecord(const std::string& path, const std::string& content) {
  std::string rec(380, '\0');
  wire::PutU32(reinterpret_cast<uint8_t*>(rec.data()), static_cast<uint32_t>(content.size()));
  Md5Context md5;
  Md5Init(md5);
  Md5Update(md5, reinterpret_cast<const uint8_t*>(content.data()), content.size());
  Md5Final(md5);
  std::memcpy(rec.data() + 8, md5.digest, 16);  // the sampled digest of so short a file
  PutField(rec, 25, 355, path);
  return rec;
}

struct PathCase {
  std::string name;
  std::string path;
  // The service drops bytes that are not UTF-8, as it drops characters the disk's
  // charset lacks: what is left may name a place inside the share, which it may serve.
  bool mayLandInside = false;
};

class TraversalTest : public ::testing::Test {
 protected:
  void StartService(bool withCentral) {
    const std::string& t = m_tmp.path();
    m_share = m_tmp.Sub("share");
    for (const char* d : {"share", "share/sub", "share-secret", "outside", "outside/deep", "local"}) {
      m_tmp.MakeDir(d);
    }
    m_canary = std::string(kToken) + "\n" + systest::RandomBytes(3000, 7);
    m_tmp.Write("outside/canary.txt", m_canary);
    m_tmp.Write("share-secret/canary.txt", m_canary);
    m_canaryJpeg = systest::MakeJpeg(64, 48, 1);
    m_tmp.Write("outside/canary.jpg", m_canaryJpeg);
    m_tmp.Write("share-secret/canary.jpg", m_canaryJpeg);
    m_tmp.Write("share/a.txt", "inside");
    m_tmp.Write("share/sub/b.txt", "inside too");
    m_tmp.Write("share/pic.jpg", systest::MakeJpeg(64, 48, 2));
    std::filesystem::create_directory_symlink("../outside", m_share + "/link-out");
    std::filesystem::create_directory_symlink(t + "/outside", m_share + "/abs-link-out");
    std::filesystem::create_symlink("../outside/canary.txt", m_share + "/file-link");
    std::filesystem::create_symlink(t + "/outside/canary.jpg", m_share + "/jpg-link");
    std::filesystem::create_directory_symlink("../../outside", m_share + "/sub/up-link");
    std::filesystem::create_symlink("/etc/passwd", m_share + "/passwd-link");
    std::filesystem::create_symlink(t + "/outside/missing.txt", m_share + "/dangling-out");
    // Links that stay inside are shown like what they lead to.
    std::filesystem::create_symlink("a.txt", m_share + "/inner-link");
    std::filesystem::create_directory_symlink("sub", m_share + "/inner-dir");

    if (withCentral) {
      m_central = std::make_unique<systest::Central>(m_tmp, "walk@tirvan.test", "walk");
      ASSERT_TRUE(m_central->Start());
    }
    systest::ServiceOptions o;
    o.shares = {m_share};
    o.central = m_central.get();
    m_service = std::make_unique<systest::Service>(m_tmp, o);
    ASSERT_TRUE(m_service->Start()) << m_service->Output();
    if (withCentral) {
      ASSERT_TRUE(systest::WaitUntil([&] { return !m_central->LoggedOnStation().empty(); }, 20000))
          << m_central->Output();
      ASSERT_TRUE(m_service->WaitRelay(*m_central, 20000)) << m_central->Output();
    }
    m_outsideBefore = Outside();
    m_running = true;
  }

  void TearDown() override {
    if (!m_running) return;
    // Nothing outside the shares changed, appeared or vanished.
    EXPECT_EQ(Outside(), m_outsideBefore);
    EXPECT_EQ(m_tmp.Read("outside/canary.txt"), m_canary);
    auto d = m_service->Lan();
    std::vector<std::string> shares;
    EXPECT_TRUE(d && d->GetShares(shares)) << "the service stopped answering";
    EXPECT_TRUE(m_service->WaitIdle(10000));
    m_service->Stop();
    EXPECT_EQ(m_service->Reports(), "");
  }

  // The folders next to the share and the test's own top level (which the service's
  // root shares with them, so that is left out).
  std::map<std::string, std::string> Outside() const {
    std::map<std::string, std::string> all;
    for (const char* d : {"outside", "share-secret"}) {
      for (auto& [k, v] : systest::TreeSnapshot(m_tmp.Sub(d))) all[std::string(d) + "/" + k] = v;
    }
    for (const auto& e : std::filesystem::directory_iterator(m_tmp.path())) {
      const std::string name = e.path().filename().string();
      // The central server writes its state file here through a temporary one, after every
      // report of the PC: that one comes and goes on its own.
      if (name == "central-state.json.tmp") continue;
      all["top/" + name] = "entry";
    }
    return all;
  }

  // Paths that lead outside the share, ending in the canary file named leaf.
  std::vector<PathCase> HostilePaths(const std::string& leaf) const {
    const std::string& t = m_tmp.path();
    const std::string s = m_share;
    std::string climb = s;
    for (int i = 0; i < 12; ++i) climb += "/..";
    // The first 254 bytes name the canary; the rest climbs back into the share, so a
    // service that cut the path before checking the uncut one would serve the canary.
    std::string cut = t + "/outside/";
    while (cut.size() + leaf.size() < 254) cut += "./";
    cut = cut.substr(0, 254 - leaf.size()) + leaf;
    std::string longBack = cut + "/../../share/a.txt";
    return {
        {"dot-dot", s + "/../outside/" + leaf},
        {"dot-dot with backslashes", Backslashed(s + "/../outside/" + leaf)},
        {"mixed separators", s + "/sub\\..\\..\\outside/" + leaf},
        {"dot-dot from a sub-folder", s + "/sub/../../outside/" + leaf},
        {"dot-dot past the root", climb + t + "/outside/" + leaf},
        {"doubled separators", s + "//..//outside//" + leaf},
        {"dot segments", s + "/./../outside/./" + leaf},
        {"absolute", t + "/outside/" + leaf},
        {"relative", t.substr(1) + "/outside/" + leaf},
        {"sibling with the share's prefix", t + "/share-secret/" + leaf},
        {"folder symlink out", s + "/link-out/" + leaf},
        {"absolute folder symlink out", s + "/abs-link-out/" + leaf},
        {"nested folder symlink out", s + "/sub/up-link/" + leaf},
        {"file symlink out", s + (leaf == "canary.jpg" ? "/jpg-link" : "/file-link")},
        {"default-folder macro", "$DEFAULT$/../../outside/" + leaf},
        {"picture macro", "$DEFAULT_PIC$/../../../outside/" + leaf},
        {"through /proc", "/proc/self/root" + t + "/outside/" + leaf},
        {"invalid UTF-8 between dots", s + "/.\xff./outside/" + leaf},
        {"overlong UTF-8 dots", s + "/\xc0\xae\xc0\xae/outside/" + leaf, true},
        {"invalid UTF-8 byte", s + "/../outside/\xff" + leaf},
        {"cut to the canary", longBack},
        {"over-long field", s + "/" + std::string(600, 'a')},
    };
  }

  // Folders outside the share.
  std::vector<PathCase> HostileFolders() const {
    const std::string& t = m_tmp.path();
    return {
        {"parent", m_share + "/.."},
        {"parent with backslash", Backslashed(m_share + "\\..")},
        {"outside", t + "/outside"},
        {"sibling with the share's prefix", t + "/share-secret"},
        {"folder symlink out", m_share + "/link-out"},
        {"nested folder symlink out", m_share + "/sub/up-link"},
        {"default-folder parent", "$DEFAULT$/.."},
        {"root", "/"},
        {"relative", t.substr(1) + "/outside"},
        {"invalid UTF-8", m_share + "/\xff/.."},
        {"over-long", m_share + "/" + std::string(400, 'b')},
    };
  }

  // Every message of a request's answer, until one of the final opcodes.
  std::vector<Message> Exchange(DeviceClient& c, uint16_t opcode, uint32_t seq,
                                const std::string& body, std::vector<uint16_t> finals) {
    std::vector<Message> got;
    EXPECT_TRUE(c.Send(opcode, seq, body)) << c.LastError();
    for (int i = 0; i < 100000; ++i) {
      Message m;
      if (!c.Recv(m)) {
        ADD_FAILURE() << "no answer: " << c.LastError();
        break;
      }
      EXPECT_EQ(m.body.find(kToken), std::string::npos) << "canary bytes served";
      got.push_back(m);
      if (std::find(finals.begin(), finals.end(), m.head.opcode) != finals.end()) break;
    }
    return got;
  }

  void AttackListings(DeviceClient& c) {
    uint32_t seq = 100;
    std::vector<PathCase> cases = HostileFolders();
    for (const PathCase& pc : HostilePaths("canary.txt")) cases.push_back(pc);
    for (const PathCase& pc : cases) {
      SCOPED_TRACE("listing: " + pc.name + " " + pc.path);
      auto got = Exchange(c, OP_GET_ALL_SUB_FILE, ++seq, PathRecord(pc.path), {OP_GET_ALL_SUB_FILE});
      ASSERT_EQ(got.size(), 1u);
      // The error form: 368 bytes, all zero after the head.
      EXPECT_EQ(got[0].head.length, 368);
      EXPECT_EQ(got[0].body, std::string(360, '\0'));
    }
  }

  void AttackDownloads(DeviceClient& c) {
    uint32_t seq = 200;
    for (const PathCase& pc : HostilePaths("canary.txt")) {
      SCOPED_TRACE("download: " + pc.name + " " + pc.path);
      auto got = Exchange(c, OP_REQ_DOWN_LOAD_FILE, ++seq, PathRecord(pc.path),
                          {OP_DOWN_LOAD_INFO, OP_DOWN_LOAD_ERROR});
      ASSERT_EQ(got.size(), 1u);
      if (!pc.mayLandInside) {
        EXPECT_EQ(got[0].head.opcode, OP_DOWN_LOAD_ERROR);
      }
      if (got[0].head.opcode == OP_DOWN_LOAD_INFO) {
        // Fetch it anyway: Exchange fails the test on any canary byte.
        std::string start(4, '\0');
        Exchange(c, OP_ALLOW_DOWN_LOAD_FILE, seq, start, {OP_DOWN_LOAD_OVER});
      }
      // A start of the refused number gets "1" and nothing else.
      auto started = Exchange(c, OP_ALLOW_DOWN_LOAD_FILE, seq, std::string(4, '\0'),
                              {OP_DOWN_LOAD_OVER});
      ASSERT_EQ(started.size(), 1u);
      EXPECT_EQ(started[0].body[0], '1');
    }
  }

  void AttackThumbnails(DeviceClient& c) {
    uint32_t seq = 300;
    for (const PathCase& pc : HostilePaths("canary.jpg")) {
      SCOPED_TRACE("thumbnail: " + pc.name + " " + pc.path);
      auto got = Exchange(c, OP_REQ_DOWNLOAD_THUMB_NIAL, ++seq, ThumbRecord(pc.path, 16, 12),
                          {OP_THUMB_STATUS});
      ASSERT_EQ(got.size(), 1u) << "thumbnail chunks of a picture outside the shares";
      EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(got[0].body.data())), 1);
    }
  }

  // Announces uploads that would overwrite the canary or create files beside it. Every
  // one must be refused; the service's answer is all the device gets.
  void AttackUploads(DeviceClient& c) {
    uint32_t seq = 400;
    const std::string content = "overwritten by a device";
    std::vector<PathCase> cases = HostilePaths("canary.txt");
    for (const PathCase& pc : HostilePaths("planted.txt")) cases.push_back(pc);
    cases.push_back({"new folder climbing out", m_share + "/new/../../outside/made/x.txt"});
    cases.push_back({"new folder in the sibling", m_tmp.Sub("share-secret/made/x.txt")});
    for (const PathCase& pc : cases) {
      if (pc.name == "file symlink out") continue;  // a name inside the share: see below
      SCOPED_TRACE("upload: " + pc.name + " " + pc.path);
      auto got = Exchange(c, OP_REQ_UP_LOAD_FILE, ++seq, UploadRecord(pc.path, content),
                          {OP_UP_LOAD_ALLOW, OP_UP_LOAD_ERROR});
      ASSERT_EQ(got.size(), 1u);
      if (!pc.mayLandInside) {
        EXPECT_EQ(got[0].head.opcode, OP_UP_LOAD_ERROR);
      }
      if (got[0].head.opcode == OP_UP_LOAD_ALLOW) {
        // Sent whole: whatever the service does with it must stay inside the share.
        c.Send(OP_UP_LOAD_FILE, seq, std::string(12, '\0') + content);
        c.Send(OP_OVER_UP_LOAD_FILE, seq, std::string(1, '\0'));
      }
    }
  }

  // What lies inside is served on the same connection: the refusals above are not
  // those of a service that serves nothing.
  void ServesTheShare(DeviceClient& c) {
    auto list = Exchange(c, OP_GET_ALL_SUB_FILE, 601, PathRecord(m_share), {OP_GET_ALL_SUB_FILE});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_NE(list[0].body.find("\ta.txt\r\n"), std::string::npos);
    auto info = Exchange(c, OP_REQ_DOWN_LOAD_FILE, 602, PathRecord(m_share + "\\a.txt"),
                         {OP_DOWN_LOAD_INFO, OP_DOWN_LOAD_ERROR});
    ASSERT_EQ(info.size(), 1u);
    ASSERT_EQ(info[0].head.opcode, OP_DOWN_LOAD_INFO);
    auto data = Exchange(c, OP_ALLOW_DOWN_LOAD_FILE, 602, std::string(4, '\0'), {OP_DOWN_LOAD_OVER});
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].body.substr(12), "inside");
    auto thumb = Exchange(c, OP_REQ_DOWNLOAD_THUMB_NIAL, 603, ThumbRecord(m_share + "/pic.jpg", 16, 12),
                          {OP_THUMB_STATUS});
    ASSERT_GE(thumb.size(), 2u);
    EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(thumb.back().body.data())), 0);
  }

  // How often the service's log holds text.
  size_t Logged(const std::string& text) const {
    const std::string log = m_service->Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  support::TempDir m_tmp;
  std::string m_share, m_canary, m_canaryJpeg;
  std::unique_ptr<systest::Central> m_central;
  std::unique_ptr<systest::Service> m_service;
  std::map<std::string, std::string> m_outsideBefore;
  bool m_running = false;
};

TEST_F(TraversalTest, LanRequestsNeverReachOutsideTheShares) {
  StartService(false);
  auto c = m_service->Lan();
  ASSERT_TRUE(c);
  AttackListings(*c);
  AttackDownloads(*c);
  AttackThumbnails(*c);
  AttackUploads(*c);
  ServesTheShare(*c);
}

TEST_F(TraversalTest, RelayedRequestsNeverReachOutsideTheShares) {
  StartService(true);
  auto c = m_service->Relay(*m_central, "walker");
  ASSERT_TRUE(c) << m_central->Output();
  AttackListings(*c);
  AttackDownloads(*c);
  AttackThumbnails(*c);
  AttackUploads(*c);
  ServesTheShare(*c);
}

// A listing shows no entry that leads out of the shares (a link to /etc/passwd, to a file
// or folder outside, a dangling link to a place outside), and such an entry cannot be
// opened either; links that stay inside are listed as what they lead to.
TEST_F(TraversalTest, ListingsLeaveOutEntriesThatLeadOutOfTheShares) {
  StartService(false);
  auto c = m_service->Lan();
  ASSERT_TRUE(c);
  std::vector<device::FolderEntry> entries;
  ASSERT_TRUE(c->ListFolder(m_share, entries)) << c->LastError();
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"inner-dir", "sub", "a.txt", "inner-link", "pic.jpg"}));
  for (const auto& e : entries) {
    if (e.name == "inner-link") {
      EXPECT_EQ(e.size, 6u);
    }
    if (e.name == "inner-dir") {
      EXPECT_EQ(e.kind, 0);
    }
  }
  ASSERT_TRUE(c->ListFolder(m_share + "/sub", entries)) << c->LastError();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "b.txt");

  auto got = Exchange(*c, OP_REQ_DOWN_LOAD_FILE, 701, PathRecord(m_share + "/passwd-link"),
                      {OP_DOWN_LOAD_INFO, OP_DOWN_LOAD_ERROR});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].head.opcode, OP_DOWN_LOAD_ERROR);
  for (const char* name : {"/abs-link-out", "/link-out"}) {
    got = Exchange(*c, OP_GET_ALL_SUB_FILE, 702, PathRecord(m_share + name), {OP_GET_ALL_SUB_FILE});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].head.length, 368) << name;
  }
}

// Every refusal of a listing, of a thumbnail request too short to read, and of an upload
// data message too short to hold its head, is answered as before and leaves one log line
// that names its reason; the short data message leaves its upload going.
TEST_F(TraversalTest, RefusalsSayWhyInTheLog) {
  StartService(false);
  auto c = m_service->Lan();
  ASSERT_TRUE(c);
  const std::string outside = m_tmp.Sub("outside");
  const std::string longPath = m_share + "/" + std::string(300, 'c');
  const uint16_t kList = OP_GET_ALL_SUB_FILE, kThumb = OP_REQ_DOWNLOAD_THUMB_NIAL;
  const struct {
    const char* what;
    uint16_t opcode;
    std::string body;
    std::string logged;
  } refusals[] = {
      {"short listing", kList, std::string(100, '\0'),
       "listing refused: a request of 100 bytes, 356 needed."},
      {"listing without an end", kList, PathRecord(std::string(400, 'u')),
       "listing refused: the requested path has no end."},
      {"listing outside", kList, PathRecord(outside),
       "listing of " + outside + " refused: not in share list."},
      {"listing of a missing folder", kList, PathRecord(m_share + "/missing"),
       "listing of " + m_share + "/missing refused: not an existing folder."},
      {"listing too long", kList, PathRecord(longPath),
       "listing of " + longPath + " refused: the path is longer than 254 bytes."},
      {"short thumbnail", kThumb, std::string(10, 'x'),
       "thumbnail refused: a request record of 10 bytes, 360 needed."},
      {"thumbnail without an end", kThumb, ThumbRecord(std::string(300, 'p'), 16, 12),
       "thumbnail refused: the picture's path has no end."},
  };
  uint32_t seq = 800;
  for (const auto& tc : refusals) {
    SCOPED_TRACE(tc.what);
    auto got = Exchange(*c, tc.opcode, ++seq, tc.body,
                        {tc.opcode == kList ? OP_GET_ALL_SUB_FILE : OP_THUMB_STATUS});
    ASSERT_EQ(got.size(), 1u);
    if (tc.opcode == kList) {
      EXPECT_EQ(got[0].head.length, 368);
    } else {
      EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(got[0].body.data())), 1);
    }
    EXPECT_EQ(Logged(tc.logged), 1u) << m_service->Log();
  }

  const std::string content = "0123456789";
  const uint32_t up = ++seq;
  auto allow = Exchange(*c, OP_REQ_UP_LOAD_FILE, up, UploadRecord(m_share + "/short.txt", content),
                        {OP_UP_LOAD_ALLOW, OP_UP_LOAD_ERROR});
  ASSERT_EQ(allow.size(), 1u);
  ASSERT_EQ(allow[0].head.opcode, OP_UP_LOAD_ALLOW);
  ASSERT_TRUE(c->Send(OP_UP_LOAD_FILE, up, std::string(5, 'z')));
  ASSERT_TRUE(c->Send(OP_UP_LOAD_FILE, up, std::string(12, '\0') + content));
  ASSERT_TRUE(c->Send(OP_OVER_UP_LOAD_FILE, up, std::string(1, '\0')));
  std::vector<std::string> shares;
  ASSERT_TRUE(c->GetShares(shares)) << c->LastError();
  EXPECT_EQ(systest::ReadFile(m_share + "/short.txt"), content);
  EXPECT_EQ(Logged("upload data message " + std::to_string(up) +
                   " of 13 bytes refused: shorter than its 20-byte head."),
            1u)
      << m_service->Log();
}

// Links planted inside the share, where an upload writes its data, info and final files,
// never carry a write outside it.
TEST_F(TraversalTest, PlantedLinksNeverLetAnUploadWriteOutside) {
  StartService(false);
  const std::string canaryPath = m_tmp.Sub("outside/canary.txt");
  std::filesystem::create_symlink(canaryPath, m_share + "/t.txttirvan.rename");
  std::filesystem::create_symlink(canaryPath, m_share + "/t.txttirvan.renametmp");
  std::filesystem::create_symlink(canaryPath, m_share + "/u.txttirvan.renametmp");
  std::filesystem::create_symlink(canaryPath, m_share + "/v.txt");
  const std::string content = "uploaded " + systest::RandomBytes(5000, 3);
  uint32_t seq = 500;
  // The target itself is a link out (holding the same bytes as the canary, so that a
  // service following it would take the upload as complete), and the data and info names
  // of other targets are links out.
  for (const auto& [target, bytes] : std::vector<std::pair<std::string, std::string>>{
           {m_share + "/file-link", m_canary},
           {m_share + "/v.txt", content},
           {m_share + "/t.txt", content},
           {m_share + "/u.txt", content}}) {
    SCOPED_TRACE(target);
    auto c = m_service->Lan();
    ASSERT_TRUE(c);
    auto got = Exchange(*c, OP_REQ_UP_LOAD_FILE, ++seq, UploadRecord(target, bytes),
                        {OP_UP_LOAD_ALLOW, OP_UP_LOAD_ERROR});
    ASSERT_EQ(got.size(), 1u);
    if (got[0].head.opcode != OP_UP_LOAD_ALLOW) continue;  // refusing is as good
    ASSERT_EQ(wire::GetU32(reinterpret_cast<const uint8_t*>(got[0].body.data())), 0u);
    ASSERT_TRUE(c->Send(OP_UP_LOAD_FILE, seq, std::string(12, '\0') + bytes));
    ASSERT_TRUE(c->Send(OP_OVER_UP_LOAD_FILE, seq, std::string(1, '\0')));
    std::vector<std::string> shares;
    ASSERT_TRUE(c->GetShares(shares));
  }
  // The links that name targets and data files are left alone (an info file's name is
  // the service's own to delete), and the uploads landed as regular files in the share.
  for (const char* link : {"t.txttirvan.rename", "t.txttirvan.renametmp", "v.txt", "file-link"}) {
    EXPECT_TRUE(std::filesystem::is_symlink(m_share + "/" + link)) << link;
  }
  EXPECT_EQ(systest::ReadFile(m_share + "/t.txt"), content);
  EXPECT_EQ(systest::ReadFile(m_share + "/u.txt"), content);
  EXPECT_EQ(systest::ReadFile(m_share + "/v.txt.(0).txt"), content);
}

// The tray's requests are served from loopback only. From there, folder browsing lists
// folders (never files, never file contents); hostile texts are refused and change
// nothing.
TEST_F(TraversalTest, TrayRequestsOnlyFromLoopbackAndNeverListFiles) {
  StartService(false);
  for (const PathCase& pc : HostileFolders()) {
    SCOPED_TRACE("browse: " + pc.name);
    auto m = m_service->Tray(OP_SHOW_GET_PATH, pc.path);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->body.find("canary"), std::string::npos) << m->body;
    EXPECT_EQ(m->body.find(kToken), std::string::npos);
  }
  auto sharesBefore = m_service->Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(sharesBefore);
  // A share list that is not UTF-8, or a default-folder record that is too short or
  // whose fields have no end, is refused and stores nothing.
  auto set = m_service->Tray(OP_SHOW_SET_SHARE, m_share + "\r\n/tmp/\xff\xfe\r\n");
  ASSERT_TRUE(set);
  ASSERT_EQ(set->body.size(), 4u);
  EXPECT_NE(wire::GetU32(reinterpret_cast<const uint8_t*>(set->body.data())), 0u);
  auto after = m_service->Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->body, sharesBefore->body);
  auto defBefore = m_service->Tray(OP_SHOW_GET_DEF_SHARE);
  ASSERT_TRUE(defBefore);
  for (const std::string& record : {std::string(100, 'x'), std::string(1300, 'y')}) {
    auto r = m_service->Tray(OP_SHOW_SET_DEF_SHARE, record);
    ASSERT_TRUE(r);
    auto def = m_service->Tray(OP_SHOW_GET_DEF_SHARE);
    ASSERT_TRUE(def);
    ASSERT_EQ(def->body.size(), 1300u);
    for (size_t field = 0; field < 5; ++field) EXPECT_EQ(def->body[field * 260 + 259], '\0');
  }

  // From a LAN address of this host: no answer, the connection closes.
  const std::string lan = systest::LanAddress();
  if (lan.empty()) {
    std::printf("no LAN address on this host: only loopback is tried\n");
    return;
  }
  for (uint16_t opcode : {OP_SHOW_GET_PATH, OP_SHOW_SET_SHARE, OP_SHOW_SET_DEF_SHARE}) {
    support::MsgClient c;
    ASSERT_TRUE(c.Connect(m_service->port(), 2000, lan));
    ASSERT_TRUE(c.Send(opcode, 0, m_tmp.path() + "/outside"));
    EXPECT_TRUE(c.WaitPeerClose(5000)) << opcode;
  }
  auto final = m_service->Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(final);
  EXPECT_EQ(final->body, sharesBefore->body);
}

}  // namespace
