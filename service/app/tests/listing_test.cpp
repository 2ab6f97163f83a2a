#include "app/listing.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "comm/errors.h"
#include "comm/opcodes.h"

namespace {

struct Reply {
  int result = 0;
  std::vector<uint8_t> bytes;  // empty when no reply was set

  MsgHead head() const { return MsgHead::Decode(bytes.data()); }
  uint32_t count32() const { return wire::GetU32(bytes.data() + 8); }
  uint16_t count16() const { return wire::GetU16(bytes.data() + 8); }
  std::string text() const { return std::string(bytes.begin() + 20, bytes.end()); }
};

using Handler = int (*)(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**,
                        int32_t*, int32_t*, uint8_t*);

// Calls a handler with a body of exactly the given bytes on the heap, so that reading
// past it is caught under the address sanitizer.
Reply Call(Handler h, uint16_t opcode, const std::string& body, uint8_t direct = 1,
           bool nullBody = false) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[body.size() + 1]);
  std::memcpy(copy.get(), body.data(), body.size());
  MsgHead head{static_cast<uint16_t>(8 + body.size()), opcode, 77};
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  int32_t udt = -1;
  Reply r;
  r.result = h(nullBody ? nullptr : copy.get(), nullBody ? 0 : static_cast<uint32_t>(body.size()),
               &head, nullptr, &reply, &replyLen, &udt, &direct);
  if (reply != nullptr) {
    r.bytes.assign(reply, reply + replyLen);
    FreeReply(reply);
  }
  return r;
}

// A DownLoadRequest record naming path.
std::string Request(const std::string& path) {
  std::string rec(kDownLoadRequestSize, '\0');
  rec.replace(1, path.size(), path);
  return rec;
}

std::string Relayed(const std::string& record) {
  std::string prefix(72, '\0');
  prefix.replace(0, 8, "device-1");
  return prefix + record;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    apptest::OpenTestDb(m_dir);
    m_dir.MakeDir("share");
    m_share = m_dir.Sub("share");
    ASSERT_EQ(SetShareInfo({m_share}), 0);
  }
  void TearDown() override {
    g_DB.CloseFile();
    g_Log.Close();
  }

  Reply List(const std::string& path, uint8_t direct = 1) {
    std::string rec = Request(path);
    return Call(GetAllSubFile, OP_GET_ALL_SUB_FILE, direct ? rec : Relayed(rec), direct);
  }
  static void ExpectErrorForm(const Reply& r) {
    ASSERT_EQ(r.bytes.size(), 368u);
    EXPECT_EQ(r.head().length, 368);
    EXPECT_EQ(r.head().opcode, OP_GET_ALL_SUB_FILE);
    EXPECT_EQ(r.head().seq, 77u);
    for (size_t i = 8; i < r.bytes.size(); ++i) ASSERT_EQ(r.bytes[i], 0) << i;
  }

  support::TempDir m_dir;
  std::string m_share;
};

TEST_F(ListingTest, ShareListAddsTheDefaultFolderOnce) {
  struct Case {
    std::vector<std::string> shares;
    std::string def;
    std::vector<std::string> listed;
  };
  const Case kCases[] = {
      {{"/d/a", "/e/b"}, "/d/a", {"/d/a", "/e/b"}},
      {{}, "/d/a", {"/d/a"}},
      {{}, "", {}},
      {{"/d/a/", "/e/b"}, "/d/a", {"/d/a/", "/e/b", "/d/a"}},  // no trailing-"/" match
      {{"/e/b"}, "/d/\xe4\xb8\xad\xe6\x96\x87", {"/e/b", "/d/\xe4\xb8\xad\xe6\x96\x87"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.def + " + " + std::to_string(c.shares.size()));
    ASSERT_EQ(SetShareInfo(c.shares), 0);
    apptest::SetDefaults(c.def);
    Reply r = Call(GetShareInfo, OP_GET_SHARE_INFO, "", 1, true);
    ASSERT_EQ(r.result, ERR_OK);
    ASSERT_GE(r.bytes.size(), 20u);
    std::string text;
    for (const std::string& f : c.listed) text += f + "\r\n";
    EXPECT_EQ(r.head().length, 20 + text.size());
    EXPECT_EQ(r.head().opcode, OP_GET_SHARE_INFO);
    EXPECT_EQ(r.head().seq, 77u);
    EXPECT_EQ(r.count16(), c.listed.size());
    for (size_t i = 10; i < 20; ++i) EXPECT_EQ(r.bytes[i], 0);
    EXPECT_EQ(r.text(), text);
  }
}

TEST_F(ListingTest, FolderListingHoldsFoldersFirstInNameOrder) {
  m_dir.MakeDir("share/zeta");
  m_dir.MakeDir("share/Alpha");
  m_dir.Write("share/b.txt", "12345");
  m_dir.Write("share/a.txt", "");
  m_dir.Write("share/\xe4\xb8\xad.txt", "xy");
  m_dir.Write("share/.hidden", "h");
  m_dir.Write("share/x.txttirvan.rename", "partial");
  for (uint8_t direct : {1, 0}) {
    SCOPED_TRACE(direct ? "direct" : "relayed");
    Reply r = List(m_share, direct);
    ASSERT_EQ(r.result, ERR_OK);
    EXPECT_EQ(r.head().length, r.bytes.size());
    EXPECT_EQ(r.head().opcode, OP_GET_ALL_SUB_FILE);
    EXPECT_EQ(r.count32(), 5u);
    std::string text = r.text();
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
    std::vector<std::string> lines = Lines(text.substr(0, text.size() - 4));
    ASSERT_EQ(lines.size(), 5u) << text;
    const std::pair<const char*, const char*> kExpected[] = {
        {"\t0\t0\t", "Alpha"}, {"\t0\t0\t", "zeta"}, {"\t1\t0\t", "a.txt"},
        {"\t1\t5\t", "b.txt"}, {"\t1\t2\t", "\xe4\xb8\xad.txt"}};
    for (size_t i = 0; i < lines.size(); ++i) {
      // "YYYY-MM-DD HH:MM:SS" then kind, size and name.
      ASSERT_GT(lines[i].size(), 19u);
      EXPECT_EQ(lines[i][4], '-');
      EXPECT_EQ(lines[i][13], ':');
      EXPECT_EQ(lines[i].substr(19), std::string(kExpected[i].first) + kExpected[i].second);
    }
  }
}

TEST_F(ListingTest, EmptyFolderGivesOnlyTheFinalLineEnd) {
  m_dir.MakeDir("share/empty");
  Reply r = List(m_share + "\\empty");  // either separator
  ASSERT_EQ(r.bytes.size(), 22u);
  EXPECT_EQ(r.head().length, 22);
  EXPECT_EQ(r.count32(), 0u);
  EXPECT_EQ(r.text(), "\r\n");
}

TEST_F(ListingTest, RefusedRequestsGetTheErrorForm) {
  m_dir.MakeDir("outside");
  ASSERT_EQ(::symlink(m_dir.Sub("outside").c_str(), m_dir.Sub("share/out").c_str()), 0);
  m_dir.MakeDir("shared2");  // a sibling whose name starts like the share's
  std::string longName(254 - m_share.size() - 1, 'n');
  m_dir.MakeDir("share/" + longName);
  std::string atLimit = m_share + "/" + longName;
  ASSERT_EQ(atLimit.size(), 254u);
  EXPECT_EQ(List(atLimit).result, ERR_OK);  // the longest path still accepted

  struct Case {
    std::string path;
    int result;
  };
  const Case kCases[] = {
      {"$DEFAULT_PIC$", ERR_DEF_SHARE_EMPTY},
      {"", ERR_DEF_SHARE_EMPTY},
      {m_share + "/missing", ERR_PATH_NOT_EXIST},
      {m_share + "/../outside", ERR_NOT_IN_SHARE},
      {m_share + "/out", ERR_NOT_IN_SHARE},
      {m_dir.Sub("shared2"), ERR_NOT_IN_SHARE},
      {atLimit + "x", ERR_PATH_NOT_EXIST},  // too long: refused, not cut
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    Reply r = List(c.path);
    EXPECT_EQ(r.result, c.result);
    ExpectErrorForm(r);
  }
}

TEST_F(ListingTest, ShortOrUnterminatedBodiesAreRefusedWithoutOverreading) {
  std::string rec = Request(m_share);
  std::string unterminated(kDownLoadRequestSize, 'p');
  const std::pair<std::string, uint8_t> kBodies[] = {
      {rec.substr(0, 100), 1},
      {rec.substr(0, kDownLoadRequestSize - 1), 1},
      {unterminated, 1},
      {Relayed(rec).substr(0, 72 + 355), 0},
      {rec, 0},  // a whole record, but no room for the relay prefix
  };
  for (const auto& [body, direct] : kBodies) {
    SCOPED_TRACE(body.size());
    ExpectErrorForm(Call(GetAllSubFile, OP_GET_ALL_SUB_FILE, body, direct));
  }
  Reply none = Call(GetAllSubFile, OP_GET_ALL_SUB_FILE, "", 1, true);
  EXPECT_EQ(none.result, ERR_NULL_MSG);
  EXPECT_TRUE(none.bytes.empty());
}

TEST_F(ListingTest, DefaultFolderMacroExpands) {
  m_dir.MakeDir("share/pics");
  m_dir.Write("share/pics/p.jpg", "jpg");
  apptest::SetDefaults(m_share, m_share + "/pics");
  Reply r = List("$DEFAULT_PIC$");
  ASSERT_EQ(r.result, ERR_OK);
  EXPECT_EQ(r.count32(), 1u);
  EXPECT_NE(r.text().find("\t1\t3\tp.jpg\r\n"), std::string::npos);
}

TEST_F(ListingTest, HugeListingIsSentWholeWithTheLengthModulo65536) {
  m_dir.MakeDir("share/many");
  for (int i = 0; i < 1500; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "share/many/file-%05d-abcdefgh", i);
    m_dir.Write(name, "");
  }
  Reply r = List(m_share + "/many");
  ASSERT_EQ(r.result, ERR_OK);
  ASSERT_GT(r.bytes.size(), 65536u);
  EXPECT_EQ(r.head().length, r.bytes.size() % 65536);
  EXPECT_EQ(r.count32(), 1500u);
}

}  // namespace
