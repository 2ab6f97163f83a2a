#include "app/thumbnail.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <udt/udt.h>

#include "app/logon.h"
#include "picture_fixtures.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/local_server.h"
#include "comm/opcodes.h"
#include "comm/sqlite_db.h"
#include "device/thumbnail.h"
#include "platform/net.h"
#include "support/fake_server.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using fixtures::Bytes;
using fixtures::Decoded;
using fixtures::Kind;

constexpr int64_t kMTime = 1600000000;

std::string ReadSchema() {
  fs::path schema = fs::path(__FILE__).parent_path() / "../../../etc/schema.sql";
  std::ifstream in(schema);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The 360-byte request record.
Bytes Record(int width, int height, const std::string& path) {
  Bytes r(kThumbRequestSize, 0);
  wire::PutU16(r.data(), static_cast<uint16_t>(width));
  wire::PutU16(r.data() + 2, static_cast<uint16_t>(height));
  std::memcpy(r.data() + 4, path.data(), std::min(path.size(), kThumbPathField));
  return r;
}

// The 4000 × 3000 photo of the size cases, made once.
const Bytes& BigPhoto() {
  static const Bytes photo = fixtures::MakeJpeg(4000, 3000, Kind::Baseline);
  return photo;
}

// What one request brought back, whatever the transport: the messages in order.
struct Answer {
  std::vector<Bytes> messages;  // each a whole MsgHead message
  Bytes thumbnail;              // the chunks put together
  int status = -1;              // of the final status message
  std::string fault;            // the first thing wrong with the sequence
};

// Checks the sequence of messages of one thumbnail: chunks of at most 1,000 bytes at
// consecutive offsets, each with the same total and sequence number, then one status.
Answer Collect(const std::vector<Bytes>& messages, uint32_t seq) {
  Answer a;
  a.messages = messages;
  uint32_t total = 0;
  for (size_t i = 0; i < messages.size(); ++i) {
    const Bytes& m = messages[i];
    auto fault = [&](const std::string& what) {
      if (a.fault.empty()) a.fault = "message " + std::to_string(i) + ": " + what;
    };
    if (m.size() < 12) {
      fault("too short");
      continue;
    }
    MsgHead h = MsgHead::Decode(m.data());
    if (h.length != m.size()) fault("length field");
    if (h.seq != seq) fault("sequence number");
    if (h.opcode == OP_THUMB_STATUS) {
      if (m.size() != kThumbStatusSize) fault("status size");
      if (i + 1 != messages.size()) fault("status is not last");
      a.status = wire::GetU16(m.data() + 8);
      if (wire::GetU16(m.data() + 10) != 0) fault("status padding");
      continue;
    }
    if (h.opcode != OP_REQ_DOWNLOAD_THUMB_NIAL) fault("opcode");
    size_t n = m.size() - kThumbDataHeadSize;
    if (n < 1 || n > kThumbChunkSize) fault("chunk size");
    uint32_t t = wire::GetU32(m.data() + 8);
    if (i == 0) total = t;
    if (t != total) fault("total differs");
    if (wire::GetU32(m.data() + 12) != a.thumbnail.size()) fault("offset");
    if (n != kThumbChunkSize && a.thumbnail.size() + n != total)
      fault("short chunk before the end");
    a.thumbnail.insert(a.thumbnail.end(), m.begin() + kThumbDataHeadSize, m.end());
  }
  if (a.status == 0 && a.thumbnail.size() != total) a.fault = "thumbnail shorter than its total";
  if (a.status < 0 && a.fault.empty()) a.fault = "no status";
  return a;
}

// A share folder with pictures in it, in a real configuration database. The working
// directory and TMPDIR point to empty folders that must stay empty.
class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_DB.OpenFile(m_tmp.Sub("Tirvan.db").c_str());
    g_DB.RunCommand(ReadSchema().c_str());
    m_tmp.MakeDir("share");
    m_tmp.MakeDir("outside");
    m_share = fs::canonical(m_tmp.Sub("share")).string();
    ASSERT_EQ(SetShareInfo({m_share}), 0);

    m_cwd = fs::current_path();
    fs::current_path(m_work.path());
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr) m_oldTmp = tmp;
    m_hadTmp = tmp != nullptr;
    ::setenv("TMPDIR", m_scratch.path().c_str(), 1);
    SetThumbLimits(ThumbLimits{});
  }
  void TearDown() override {
    EXPECT_TRUE(fs::is_empty(m_work.path())) << "left in the working directory";
    EXPECT_TRUE(fs::is_empty(m_scratch.path())) << "left in TMPDIR";
    fs::current_path(m_cwd);
    if (m_hadTmp) {
      ::setenv("TMPDIR", m_oldTmp.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    SetThumbLimits(ThumbLimits{});
    g_DB.CloseFile();
  }

  // Writes a file in the share (or anywhere under the temp folder) with a known mtime.
  std::string Put(const std::string& rel, const Bytes& content) {
    m_tmp.Write(rel, fixtures::AsString(content));
    std::string path = fs::canonical(m_tmp.Sub(rel)).string();
    timespec times[2] = {{kMTime, 0}, {kMTime, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }

  // The pictures of the end-to-end cases, by name: JPEG kinds and BMPs.
  struct Picture {
    std::string name;
    Bytes content;
    int components;
  };
  static std::vector<Picture> Pictures() {
    fixtures::BmpSpec bmp8;
    bmp8.width = 300;
    bmp8.height = 200;
    bmp8.bits = 8;
    for (uint32_t i = 0; i < 256; ++i) bmp8.palette.push_back(i * 0x010101);
    fixtures::BmpSpec bmp24;
    bmp24.width = 300;
    bmp24.height = 200;
    auto grad = [](int x, int y, int c) { return fixtures::Gradient(x, y, c, 300, 200); };
    return {
        {"baseline.jpg", fixtures::MakeJpeg(640, 480, Kind::Baseline), 3},
        {"progressive.jpg", fixtures::MakeJpeg(640, 480, Kind::Progressive), 3},
        {"gray.jpg", fixtures::MakeJpeg(640, 480, Kind::Gray), 1},
        {"cmyk.jpg", fixtures::MakeJpeg(640, 480, Kind::Cmyk), 4},
        {"eight.bmp", fixtures::MakeBmp(bmp8, grad), 3},
        {"twentyfour.BMP", fixtures::MakeBmp(bmp24, grad), 3},
    };
  }

  support::TempDir m_tmp;
  support::TempDir m_work;
  support::TempDir m_scratch;
  std::string m_share;
  fs::path m_cwd;
  std::string m_oldTmp;
  bool m_hadTmp = false;
};

// ---- The thumbnailer.

TEST_F(ThumbnailTest, ScaledDecodeThenExactSize) {
  std::string photo = Put("share/photo.jpg", BigPhoto());
  struct Case {
    int width, height;
    int decodedWidth, decodedHeight;
  };
  const Case cases[] = {
      {160, 120, 500, 375},  // scale 8
      {160, 160, 500, 375},  // stretched: no aspect ratio
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    ThumbState* s = ThumbOpenFile(photo);
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> out;
    ThumbSetDecodeSize(s, c.width, c.height);
    ThumbEnableComments(s, true);
    ThumbSetOutput(s, &out);
    ASSERT_EQ(ThumbEncodeFile(s), 0);
    ThumbInfo info = ThumbGetInfo(s);
    ThumbClose(s);
    EXPECT_EQ(info.sourceWidth, 4000);
    EXPECT_EQ(info.sourceHeight, 3000);
    EXPECT_EQ(info.decodedWidth, c.decodedWidth);
    EXPECT_EQ(info.decodedHeight, c.decodedHeight);
    Decoded d = fixtures::DecodeJpeg(out);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_FALSE(d.progressive);
    // Nearest neighbour keeps the gradient: red follows x, green follows y.
    for (int x : {5, c.width / 2, c.width - 5}) {
      EXPECT_NEAR(d.At(x, c.height / 2, 0), x * 255 / (c.width - 1), 12) << x;
    }
    for (int y : {5, c.height - 5}) {
      EXPECT_NEAR(d.At(c.width / 2, y, 1), y * 255 / (c.height - 1), 12) << y;
    }
  }
}

TEST_F(ThumbnailTest, TargetIsClampedAndHeightComesBeforeWidth) {
  std::string photo = Put("share/small.jpg", fixtures::MakeJpeg(400, 300, Kind::Baseline));
  struct Case {
    int height, width;  // in ThunmbNailIt's order
    int expectWidth, expectHeight;
  };
  const Case cases[] = {
      {0, 0, 1, 1},
      {10000, 10000, 400, 300},
      {50, 100, 100, 50},
      {-5, 120, 120, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::vector<uint8_t> out;
    ASSERT_TRUE(ThunmbNailIt(photo, c.height, c.width, out));
    Decoded d = fixtures::DecodeJpeg(out);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, c.expectWidth);
    EXPECT_EQ(d.height, c.expectHeight);
  }
}

TEST_F(ThumbnailTest, FiveMarkersInOrderNameTheSource) {
  std::string photo = Put("share/photo.jpg", BigPhoto());
  fixtures::BmpSpec spec;
  spec.width = 64;
  spec.height = 48;
  std::string bmp = Put("share/pic.bmp", fixtures::MakeBmp(spec, [](int, int, int) { return 99; }));
  struct Case {
    std::string path;
    int width, height;
  };
  for (const Case& c : {Case{photo, 4000, 3000}, Case{bmp, 64, 48}}) {
    SCOPED_TRACE(c.path);
    std::vector<uint8_t> out;
    ASSERT_TRUE(ThunmbNailIt(c.path, 30, 40, out));
    Decoded d = fixtures::DecodeJpeg(out);
    ASSERT_TRUE(d.ok);
    const std::vector<std::string> expect = {
        "Thumb::URI\nfile://" + c.path,
        "Thumb::MTime\n" + std::to_string(kMTime),
        "Thumb::Image::Width\n" + std::to_string(c.width),
        "Thumb::Image::Height\n" + std::to_string(c.height),
        "Thumb::Mimetype\nimage/jpeg",
    };
    EXPECT_EQ(d.app7, expect);
  }
}

TEST_F(ThumbnailTest, ColorModelsKeepTheirComponents) {
  for (const auto& p : Pictures()) {
    SCOPED_TRACE(p.name);
    std::string path = Put("share/" + p.name, p.content);
    std::vector<uint8_t> out;
    ASSERT_TRUE(ThunmbNailIt(path, 45, 60, out));
    Decoded d = fixtures::DecodeJpeg(out);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 60);
    EXPECT_EQ(d.height, 45);
    EXPECT_EQ(d.components, p.components);
  }
}

TEST_F(ThumbnailTest, RefusedPicturesAndLimits) {
  Bytes small = fixtures::MakeJpeg(400, 300, Kind::Baseline);
  // A header that claims 65,500 × 65,500 over a few hundred bytes of data.
  Bytes bomb = fixtures::MakeJpeg(64, 64, Kind::Baseline);
  size_t sof = fixtures::SofOffset(bomb);
  ASSERT_NE(sof, 0u);
  for (size_t i : {sof, sof + 2}) wire::PutU16(bomb.data() + i, 65500);
  Bytes truncated = small;
  truncated.resize(200);
  fixtures::BmpSpec spec;
  Bytes bmp = fixtures::MakeBmp(spec, [](int, int, int) { return 1; });
  Bytes shortBmp = bmp;
  shortBmp.pop_back();

  struct Case {
    const char* name;
    std::string file;
    Bytes content;
    ThumbLimits limits;
  };
  ThumbLimits tinyPixels;
  tinyPixels.maxPixels = 400 * 300 - 1;
  ThumbLimits tinyMemory;
  tinyMemory.maxDecoderMemory = 64 * 1024;
  ThumbLimits tinyOutput;
  tinyOutput.maxThumbBytes = 300;
  const Case cases[] = {
      {"not a picture", "text.jpg", fixtures::AsBytes("just some text"), {}},
      {"empty", "empty.jpg", {}, {}},
      {"a 65500 x 65500 header", "bomb.jpg", bomb, {}},
      {"a header only", "truncated.jpg", truncated, {}},
      {"mixed-case extension is read as JPEG", "pic.Bmp", bmp, {}},
      {"broken BMP", "short.bmp", shortBmp, {}},
      {"GIF named bmp", "gif.bmp", fixtures::AsBytes("GIF89a"), {}},
      {"more pixels than allowed", "small.jpg", small, tinyPixels},
      {"progressive beyond the library's memory", "prog.jpg",
       fixtures::MakeJpeg(1000, 1000, Kind::Progressive), tinyMemory},
      {"thumbnail larger than allowed", "small2.jpg", small, tinyOutput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Put("share/" + c.file, c.content);
    std::vector<uint8_t> out = {1};
    EXPECT_FALSE(ThunmbNailIt(path, 120, 160, out, c.limits));
    EXPECT_TRUE(out.empty());
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(ThunmbNailIt(m_tmp.Sub("share/missing.jpg"), 120, 160, out));
  EXPECT_EQ(ThumbOpenFile(Put("share/bomb2.jpg", bomb)), nullptr);
}

// ---- The handler over the local server.

class ThumbnailServerTest : public ThumbnailTest {
 protected:
  void SetUp() override {
    ThumbnailTest::SetUp();
    OS_ClearRegistry();
    ASSERT_EQ(OS_RegFunction(ReqDownloadThumbNial, OP_REQ_DOWNLOAD_THUMB_NIAL), 0);
    OS_ResetLocalServerState();
    g_LocalPort = 0;
    m_server = std::thread([] { OS_RunEvent(nullptr); });
    for (int i = 0; i < 400 && OS_LocalServerState() == LocalServerState::Pending; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(OS_LocalServerState(), LocalServerState::Running);
    ASSERT_TRUE(m_client.Connect(g_LocalPort.load()));
  }
  void TearDown() override {
    m_client.Close();
    OS_StopLocalServer();
    if (m_server.joinable()) m_server.join();
    OS_ResetLocalServerState();
    g_LocalPort = 0;
    OS_ClearRegistry();
    ThumbnailTest::TearDown();
  }

  Answer Ask(uint32_t seq, const Bytes& body) {
    EXPECT_TRUE(m_client.Send(OP_REQ_DOWNLOAD_THUMB_NIAL, seq, fixtures::AsString(body)));
    std::vector<Bytes> messages;
    for (;;) {
      auto m = m_client.Recv();
      if (!m) break;
      Bytes raw(MsgHead::kSize);
      m->head.Encode(raw.data());
      raw.insert(raw.end(), m->body.begin(), m->body.end());
      messages.push_back(raw);
      if (m->head.opcode == OP_THUMB_STATUS) break;
    }
    return Collect(messages, seq);
  }

  std::thread m_server;
  support::MsgClient m_client;
};

TEST_F(ThumbnailServerTest, PicturesComeBackAtTheAskedSize) {
  uint32_t seq = 10;
  for (const auto& p : Pictures()) {
    SCOPED_TRACE(p.name);
    std::string path = Put("share/" + p.name, p.content);
    Answer a = Ask(++seq, Record(160, 120, path));
    ASSERT_EQ(a.fault, "");
    ASSERT_EQ(a.status, 0);
    EXPECT_GT(a.messages.size(), 1u);
    Decoded d = fixtures::DecodeJpeg(a.thumbnail);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 160);
    EXPECT_EQ(d.height, 120);
    EXPECT_EQ(d.components, p.components);
    EXPECT_EQ(d.app7.size(), 5u);
  }
}

TEST_F(ThumbnailServerTest, ChunksOfAThousandBytes) {
  // A busy picture, so that its thumbnail takes a few chunks.
  Bytes noisy = fixtures::MakeJpeg(640, 480, Kind::Baseline, [](int x, int y, int c) {
    return uint8_t((x * 7919 + y * 104729 + c * 31) % 251);
  });
  std::string path = Put("share/noisy.jpg", noisy);
  Answer a = Ask(77, Record(200, 150, path));
  ASSERT_EQ(a.fault, "");
  ASSERT_EQ(a.status, 0);
  size_t total = a.thumbnail.size();
  ASSERT_GT(total, 2000u);
  ASSERT_EQ(a.messages.size(), (total + 999) / 1000 + 1);
  for (size_t i = 0; i + 1 < a.messages.size(); ++i) {
    size_t expect = std::min<size_t>(1000, total - i * 1000) + 16;
    EXPECT_EQ(a.messages[i].size(), expect) << i;
    EXPECT_EQ(wire::GetU32(a.messages[i].data() + 12), i * 1000) << i;
    EXPECT_EQ(wire::GetU32(a.messages[i].data() + 8), total) << i;
  }
}

TEST_F(ThumbnailServerTest, RefusalsAnswerStatusOneOnly) {
  Bytes jpeg = fixtures::MakeJpeg(64, 48, Kind::Baseline);
  fixtures::BmpSpec spec;
  Bytes bmp = fixtures::MakeBmp(spec, [](int, int, int) { return 1; });
  std::string outside = Put("outside/photo.jpg", jpeg);
  fs::create_symlink(outside, m_share + "/link.jpg");
  fs::create_symlink(m_tmp.Sub("outside"), m_share + "/linkdir");
  Put("share/text.jpg", fixtures::AsBytes("not a picture"));
  Put("share/mixed.Bmp", bmp);
  Put("share/broken.bmp", Bytes(bmp.begin(), bmp.begin() + 40));
  ASSERT_EQ(::mkfifo((m_share + "/fifo.jpg").c_str(), 0600), 0);
  fs::create_directory(m_share + "/dir.jpg");
  Bytes noNul = Record(160, 120, std::string(kThumbPathField, 'a'));

  struct Case {
    const char* name;
    Bytes body;
  };
  const Case cases[] = {
      {"missing file", Record(160, 120, m_share + "/missing.jpg")},
      {"not a picture", Record(160, 120, m_share + "/text.jpg")},
      {"outside the shares", Record(160, 120, outside)},
      {"symlink inside pointing outside", Record(160, 120, m_share + "/link.jpg")},
      {"through a linked folder", Record(160, 120, m_share + "/linkdir/photo.jpg")},
      {"climbing out with ..", Record(160, 120, m_share + "/../outside/photo.jpg")},
      {"mixed-case Bmp", Record(160, 120, m_share + "/mixed.Bmp")},
      {"broken BMP", Record(160, 120, m_share + "/broken.bmp")},
      {"a pipe", Record(160, 120, m_share + "/fifo.jpg")},
      {"a folder", Record(160, 120, m_share + "/dir.jpg")},
      {"unset default folder", Record(160, 120, "$DEFAULT_PIC$/photo.jpg")},
      {"empty path", Record(160, 120, "")},
      {"path field without its NUL", noNul},
      {"body shorter than the record", Bytes(100, 0)},
  };
  uint32_t seq = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Answer a = Ask(++seq, c.body);
    EXPECT_EQ(a.fault, "");
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.messages.size(), 1u);
  }
}

TEST_F(ThumbnailServerTest, DefaultFolderMacroAndPathBound) {
  std::string photo = Put("share/photo.jpg", fixtures::MakeJpeg(64, 48, Kind::Baseline));
  DefShareRecord rec{};
  std::snprintf(rec.def_pic, sizeof rec.def_pic, "%s", m_share.c_str());
  ASSERT_EQ(SetDefaultDir(rec), 0);

  Answer a = Ask(1, Record(32, 24, "$DEFAULT_PIC$/photo.jpg"));
  ASSERT_EQ(a.fault, "");
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(fixtures::DecodeJpeg(a.thumbnail).app7.at(0), "Thumb::URI\nfile://" + photo);

  // Fits the field, but not once the macro is expanded: refused rather than cut.
  std::string name(255 - std::strlen("$DEFAULT_PIC$/"), 'n');
  a = Ask(2, Record(32, 24, "$DEFAULT_PIC$/" + name));
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.messages.size(), 1u);
}

TEST_F(ThumbnailServerTest, RequestWithoutBodyIsNotAnswered) {
  std::string photo = Put("share/photo.jpg", fixtures::MakeJpeg(64, 48, Kind::Baseline));
  ASSERT_TRUE(m_client.Send(OP_REQ_DOWNLOAD_THUMB_NIAL, 5));
  Answer a = Ask(6, Record(16, 12, photo));
  EXPECT_EQ(a.fault, "");
  EXPECT_EQ(a.status, 0);
}

TEST_F(ThumbnailServerTest, DeviceClientWritesTheThumbnailToAFile) {
  std::string photo = Put("share/photo.jpg", fixtures::MakeJpeg(640, 480, Kind::Progressive));
  std::string error;
  auto transport = device::ConnectTcp("127.0.0.1", g_LocalPort.load(), 2000, &error);
  ASSERT_NE(transport, nullptr) << error;
  device::DeviceClient client(std::move(transport));

  device::ThumbnailResult thumb;
  device::ThumbnailError err;
  std::string out = m_tmp.Sub("thumb.jpg");
  ASSERT_TRUE(device::FetchThumbnailToFile(client, 9, photo, 160, 120, out, thumb, &err))
      << err.text;
  EXPECT_EQ(thumb.chunks, (thumb.jpeg.size() + 999) / 1000);
  Decoded d = fixtures::DecodeJpeg(fixtures::AsBytes(m_tmp.Read("thumb.jpg")));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 160);
  EXPECT_EQ(d.height, 120);

  // A refusal leaves an existing file alone; the connection serves the next request.
  EXPECT_FALSE(device::FetchThumbnailToFile(client, 10, m_share + "/missing.jpg", 160, 120, out,
                                            thumb, &err));
  EXPECT_EQ(err.failure, device::Failure::Refused);
  EXPECT_TRUE(fixtures::DecodeJpeg(fixtures::AsBytes(m_tmp.Read("thumb.jpg"))).ok);
  EXPECT_TRUE(device::FetchThumbnail(client, 11, photo, 8, 6, thumb, &err)) << err.text;
  EXPECT_EQ(fixtures::DecodeJpeg(thumb.jpeg).width, 8);
  EXPECT_FALSE(device::FetchThumbnail(client, 12, std::string(300, 'p'), 8, 6, thumb, &err));
  EXPECT_EQ(err.failure, device::Failure::Local);
}

// ---- UDT: the chunks and the status as UDT messages, in order.

TEST_F(ThumbnailTest, UdtMessagesInOrder) {
  ASSERT_EQ(UDT::startup(), 0);
  UDTSOCKET listener = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_NE(UDT::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin), UDT::ERROR);
  int len = sizeof sin;
  ASSERT_NE(UDT::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len), UDT::ERROR);
  ASSERT_NE(UDT::listen(listener, 1), UDT::ERROR);
  UDTSOCKET client = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  std::thread connector(
      [&] { UDT::connect(client, reinterpret_cast<sockaddr*>(&sin), sizeof sin); });
  sockaddr_in peer{};
  int peerLen = sizeof peer;
  UDTSOCKET served = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLen);
  connector.join();
  ASSERT_NE(served, UDT::INVALID_SOCK);
  // Received without blocking: UDT 4.11's receive with a time-out waits out the whole
  // time-out before it looks at what has already arrived.
  bool blocking = false;
  UDT::setsockopt(client, 0, UDT_RCVSYN, &blocking, sizeof blocking);

  Bytes noisy = fixtures::MakeJpeg(320, 240, Kind::Baseline, [](int x, int y, int c) {
    return uint8_t((x * 13 + y * 101 + c) % 256);
  });
  std::string photo = Put("share/photo.jpg", noisy);
  auto request = [&](uint32_t seq, const Bytes& record) {
    MsgHead head{static_cast<uint16_t>(MsgHead::kSize + record.size()), OP_REQ_DOWNLOAD_THUMB_NIAL,
                 seq};
    uint8_t* reply = nullptr;
    int32_t replyLen = 0;
    int32_t sock = served;
    uint8_t direct = 1;
    int r = ReqDownloadThumbNial(record.data(), static_cast<uint32_t>(record.size()), &head,
                                 nullptr, &reply, &replyLen, &sock, &direct);
    EXPECT_EQ(reply, nullptr);
    std::vector<Bytes> messages;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      char buf[2048];
      int n = UDT::recvmsg(client, buf, sizeof buf);
      if (n == UDT::ERROR && UDT::getlasterror().getErrorCode() == CUDTException::EASYNCRCV) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (n <= 0) break;
      messages.emplace_back(buf, buf + n);
      if (MsgHead::Decode(messages.back().data()).opcode == OP_THUMB_STATUS) break;
    }
    return std::make_pair(r, Collect(messages, seq));
  };

  auto [r, a] = request(31, Record(160, 120, photo));
  EXPECT_EQ(r, 0);
  EXPECT_EQ(a.fault, "");
  EXPECT_EQ(a.status, 0);
  EXPECT_GT(a.messages.size(), 2u);
  Decoded d = fixtures::DecodeJpeg(a.thumbnail);
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.width, 160);

  auto [r2, refused] = request(32, Record(160, 120, m_share + "/missing.jpg"));
  EXPECT_EQ(r2, 0);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.messages.size(), 1u);

  UDT::close(client);
  UDT::close(served);
  UDT::close(listener);
  UDT::cleanup();
}

// ---- The relay form, through the real relay client and a stand-in for the server.

constexpr const char* kOwnId = "00-11-22-33-44-55";
constexpr const char* kDevice = "phone-7";

class RelayPeer {
 public:
  // Room for the client's thread to connect and for a thumbnail made on a loaded machine.
  static constexpr int kWaitMs = 10000;

  RelayPeer() {
    m_listen = support::ListenTcp(0, 4, &m_port);
  }
  ~RelayPeer() {
    if (m_fd >= 0) platform::CloseSocket(m_fd);
    platform::CloseSocket(m_listen);
  }
  uint16_t port() const { return m_port; }
  bool Accept() {
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) return false;
    m_fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    return m_fd >= 0;
  }
  bool Send(const Bytes& b) { return platform::SendAll(m_fd, b.data(), b.size()) == 0; }
  // The next frame the client wrote.
  std::optional<Bytes> Read() {
    Bytes f(ServerMsgHead::kSize);
    if (!ReadExact(f.data(), f.size())) return std::nullopt;
    uint16_t length = wire::GetU16(f.data());
    if (length < ServerMsgHead::kSize) return std::nullopt;
    f.resize(length);
    if (!ReadExact(f.data() + ServerMsgHead::kSize, length - ServerMsgHead::kSize))
      return std::nullopt;
    return f;
  }

 private:
  // Each call has kWaitMs in all (the pieces' waits add up to no more).
  bool ReadExact(uint8_t* out, size_t len) {
    return platform::ReadExact(m_fd, out, len,
                               std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(kWaitMs)) == 0;
  }

  int m_listen = -1;
  int m_fd = -1;
  uint16_t m_port = 0;
};

class ThumbnailRelayTest : public ThumbnailTest {
 protected:
  void SetUp() override {
    ThumbnailTest::SetUp();
    OS_ClearRegistry();
    OS_ClearStopFlag();
    ASSERT_EQ(OS_RegFunction(ReqDownloadThumbNial, OP_REQ_DOWNLOAD_THUMB_NIAL), 0);
    std::snprintf(g_MacBuf, sizeof g_MacBuf, "%s", kOwnId);
    g_LogOnRtn = 0;
    m_config.host = "127.0.0.1";
    m_config.port = m_peer.port();
    m_config.keepAliveMs = 60000;
    m_config.retryMs = 100;
    m_config.stopCheckMs = 20;
    m_client = std::thread([this] { StartRecvInterLine(&m_config); });
    ASSERT_TRUE(m_peer.Accept());
    auto reg = m_peer.Read();
    ASSERT_TRUE(reg);
    ASSERT_EQ(ServerMsgHead::Decode(reg->data()).command, SV_INTER_LINE_REQ);
  }
  void TearDown() override {
    OS_SetStopFlag();
    if (m_client.joinable()) m_client.join();
    OS_ClearStopFlag();
    OS_ClearRegistry();
    g_LogOnRtn = ERR_CONNECT_NET;
    ThumbnailTest::TearDown();
  }

  // Sends the request as the server relays it and collects the frames written back;
  // every frame must be a RelayReply from this station to the device.
  Answer Ask(uint32_t seq, const Bytes& record, std::vector<size_t>* frameSizes) {
    Bytes message(MsgHead::kSize + record.size());
    MsgHead{static_cast<uint16_t>(message.size()), OP_REQ_DOWNLOAD_THUMB_NIAL, seq}.Encode(
        message.data());
    std::copy(record.begin(), record.end(), message.begin() + MsgHead::kSize);
    Bytes frame(ServerMsgHead::kSize + kRelayIdSize + message.size(), 0xAA);
    std::memcpy(frame.data() + ServerMsgHead::kSize + kRelayIdSize, message.data(), message.size());
    ServerMsgHead{static_cast<uint16_t>(frame.size()), 6, SV_INTER_LINE_DATA, kDevice}.Encode(
        frame.data());
    EXPECT_TRUE(m_peer.Send(frame));

    std::vector<Bytes> messages;
    for (;;) {
      auto f = m_peer.Read();
      if (!f) break;
      ServerMsgHead h = ServerMsgHead::Decode(f->data());
      if (h.command == SV_INTER_LINE_REQ) continue;
      EXPECT_EQ(h.command, SV_INTER_LINE_DATA);
      EXPECT_EQ(h.version, 6);
      EXPECT_EQ(h.stationId, kOwnId);
      EXPECT_EQ(wire::GetText(f->data() + ServerMsgHead::kSize, kRelayIdSize), kDevice);
      frameSizes->push_back(f->size());
      if (f->size() < kRelayReplyHeadSize + kThumbStatusSize) break;
      Bytes inner(f->size() - kRelayReplyHeadSize);
      std::memcpy(inner.data(), f->data() + kRelayReplyHeadSize, inner.size());
      messages.push_back(std::move(inner));
      EXPECT_EQ(h.length, kRelayReplyHeadSize + messages.back().size());
      if (MsgHead::Decode(messages.back().data()).opcode == OP_THUMB_STATUS) break;
    }
    return Collect(messages, seq);
  }

  RelayPeer m_peer;
  RelayClientConfig m_config;
  std::thread m_client;
};

TEST_F(ThumbnailRelayTest, ChunksAndStatusInRelayForm) {
  Bytes noisy = fixtures::MakeJpeg(640, 480, Kind::Baseline, [](int x, int y, int c) {
    return uint8_t((x * 7919 + y * 104729 + c * 31) % 251);
  });
  std::string photo = Put("share/noisy.jpg", noisy);
  std::vector<size_t> sizes;
  Answer a = Ask(88, Record(200, 150, photo), &sizes);
  ASSERT_EQ(a.fault, "");
  ASSERT_EQ(a.status, 0);
  size_t total = a.thumbnail.size();
  ASSERT_GT(total, 2000u);
  ASSERT_EQ(sizes.size(), (total + 999) / 1000 + 1);
  EXPECT_EQ(sizes[0], 1150u);
  EXPECT_EQ(sizes[sizes.size() - 2], 150 + (total - 1) % 1000 + 1);
  EXPECT_EQ(sizes.back(), 146u);
  EXPECT_TRUE(fixtures::DecodeJpeg(a.thumbnail).ok);

  sizes.clear();
  Answer refused = Ask(89, Record(200, 150, m_share + "/missing.jpg"), &sizes);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(sizes, std::vector<size_t>{146});
  sizes.clear();
  refused = Ask(90, Bytes(10, 0), &sizes);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(sizes, std::vector<size_t>{146});
}

}  // namespace
