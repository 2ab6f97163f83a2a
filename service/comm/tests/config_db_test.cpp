#include "comm/config_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/local_server.h"
#include "comm/sqlite_db.h"
#include "support/temp_dir.h"

namespace {

using Strings = std::vector<std::string>;

// The schema that ships with the project.
std::string ShippedSchema() {
  std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path()
                                   .parent_path().parent_path();
  std::ifstream in(root / "etc" / "schema.sql");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int Count(const char* sql) {
  CppSQLite3Query q = g_DB.RunSelect(sql);
  return q.IntOf("n");
}

Strings Shares() {
  Strings list;
  ParseShareInfo(list);
  return list;
}

// True when the text is valid UTF-8 (no character cut in half).
bool ValidUtf8(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    int extra = *p < 0x80 ? 0 : (*p >> 5) == 6 ? 1 : (*p >> 4) == 14 ? 2 : (*p >> 3) == 30 ? 3 : -1;
    if (extra < 0) return false;
    ++p;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
    }
  }
  return true;
}

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

class ConfigDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_DB.OpenFile(dir.Sub("Tirvan.db").c_str());
    g_DB.RunCommand("PRAGMA synchronous=OFF;");
    if (WithSchema()) g_DB.RunCommand(ShippedSchema().c_str());
  }
  void TearDown() override { g_DB.CloseFile(); }
  virtual bool WithSchema() const { return true; }

  support::TempDir dir;
};

// A database file with no tables, as a missing file is created at start-up.
class ConfigDbNoTablesTest : public ConfigDbTest {
 protected:
  bool WithSchema() const override { return false; }
};

}  // namespace

TEST_F(ConfigDbTest, ShippedSchemaHasTheColumnsAndRowKey) {
  struct Table {
    const char* name;
    const char* columns;
  };
  for (const Table& t : {Table{"qz_user", "email,psw"},
                         Table{"qz_conf", "localport,log_console,log_priority,svhost,svport,"
                                          "p2phost,p2pport"},
                         Table{"qz_defshare", "def,def_pic,def_music,def_video,def_doc"},
                         Table{"qz_share", "path"},
                         Table{"qz_trans", "id,type,status,file,size,time"}}) {
    CppSQLite3Text sql;
    CppSQLite3Query q = g_DB.RunSelect(
        sql.Format("select group_concat(name, ',') as c from pragma_table_info(%Q)", t.name));
    EXPECT_STREQ(q.TextOf("c"), t.columns) << t.name;
  }
  EXPECT_EQ(Count("select count(*) as n from sqlite_master where type='table'"), 5);
  EXPECT_EQ(Count("select pk as n from pragma_table_info('qz_trans') where name='id'"), 1);

  // id is the rowid: assigned on insert, so the log's trim of "the first 50" hits the oldest.
  for (int i = 0; i < 3; ++i) g_DB.RunCommand("insert into qz_trans(type) values (0)");
  EXPECT_EQ(Count("select count(*) as n from qz_trans where id = rowid and id is not null"), 3);
  g_DB.RunCommand("delete from qz_trans where id in (select id from qz_trans limit 2)");
  EXPECT_EQ(Count("select min(id) as n from qz_trans"), 3);
  EXPECT_EQ(Count("select count(*) as n from qz_conf"), 0);  // rows are the layout tool's job
}

TEST_F(ConfigDbTest, ReadersGiveDefaultsWithoutRows) {
  g_LocalPort = 1234;
  ParseLocalPort();
  EXPECT_EQ(g_LocalPort, 0);
  int console = 5, priority = 5;
  ParseLogConf(console, priority);
  EXPECT_EQ(console, 0);
  EXPECT_EQ(priority, 600);
  std::string host = "stale";
  uint16_t port = 9;
  GetServerInfo(host, port);
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
  host = "stale";
  port = 9;
  GetP2PServerInfo(host, port);
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
  std::string email = "e", psw = "p";
  GetUsernfo(email, psw);
  EXPECT_EQ(email + psw, "");

  DefShareRecord dirs;
  std::memset(&dirs, 0xAA, sizeof dirs);
  GetDefaultDirs(dirs);
  EXPECT_TRUE(std::all_of(reinterpret_cast<char*>(&dirs), reinterpret_cast<char*>(&dirs + 1),
                          [](char c) { return c == 0; }));
  Strings list{"stale"};
  GetDefaultDirList(list);
  EXPECT_EQ(list, Strings{""});  // five empty folders listed once
  list = {"stale"};
  ParseShareInfo(list);
  EXPECT_TRUE(list.empty());
  std::vector<TransLogRow> rows(2);
  GetTransLog(rows);
  EXPECT_TRUE(rows.empty());
}

TEST_F(ConfigDbTest, ConfReadersTakeTheFirstRowAndLow16Bits) {
  struct Case {
    const char* values;
    uint16_t localPort;
    int console, priority;
    const char* svHost;
    uint16_t svPort;
    const char* p2pHost;
    uint16_t p2pPort;
  };
  const Case cases[] = {
      {"15002,1,700,'sv.example',8000,'p2p.example',9000", 15002, 1, 700, "sv.example", 8000,
       "p2p.example", 9000},
      {"70000,0,300,'h',70000,'p',-1", 4464, 0, 300, "h", 4464, "p", 65535},
      {"-1,0,600,'h',65536,'p',65535", 65535, 0, 600, "h", 0, "p", 65535},
      // A stored NULL threshold reads as 0 (the log is then silent), not as the default.
      {"NULL,NULL,NULL,NULL,NULL,NULL,NULL", 0, 0, 0, "", 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.values);
    g_DB.RunCommand("delete from qz_conf");
    g_DB.RunCommand(("insert into qz_conf values (" + std::string(c.values) + ")").c_str());
    g_DB.RunCommand("insert into qz_conf values (1,1,1,'second',1,'second',1)");
    ParseLocalPort();
    EXPECT_EQ(g_LocalPort, c.localPort);
    int console = -7, priority = -7;
    ParseLogConf(console, priority);
    EXPECT_EQ(console, c.console);
    EXPECT_EQ(priority, c.priority);
    std::string host;
    uint16_t port = 1;
    GetServerInfo(host, port);
    EXPECT_EQ(host, c.svHost);
    EXPECT_EQ(port, c.svPort);
    GetP2PServerInfo(host, port);
    EXPECT_EQ(host, c.p2pHost);
    EXPECT_EQ(port, c.p2pPort);
  }
}

TEST_F(ConfigDbNoTablesTest, MissingTablesKeepDefaultsAndFailWritersCleanly) {
  g_LocalPort = 77;
  ParseLocalPort();
  EXPECT_EQ(g_LocalPort, 0);
  int console = 3, priority = 3;
  ParseLogConf(console, priority);
  EXPECT_EQ(console, 0);
  EXPECT_EQ(priority, 600);
  std::string host = "x";
  uint16_t port = 3;
  GetServerInfo(host, port);
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
  std::string email = "e", psw = "p";
  GetUsernfo(email, psw);
  EXPECT_EQ(email + psw, "");
  EXPECT_EQ(Shares(), Strings{});
  std::vector<TransLogRow> rows(1);
  GetTransLog(rows);
  EXPECT_TRUE(rows.empty());

  AccountInfo account{};
  std::strcpy(account.email, "a@b.c");
  DefShareRecord dirs{};
  EXPECT_EQ(WriteLogOnInfo(account), -1);
  EXPECT_EQ(ClearLogOnInfo(), -1);
  EXPECT_EQ(SetDefaultDir(dirs), -1);
  EXPECT_EQ(SetShareInfo({"/s"}), -1);
  EXPECT_EQ(ClearLog(), 1);

  // No transaction was left open and the lock is free for another thread's writer.
  g_DB.RunCommand(ShippedSchema().c_str());
  int result = -2;
  std::thread([&] { result = SetShareInfo({"/s"}); }).join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Shares(), Strings{"/s"});
  EXPECT_EQ(WriteLogOnInfo(account), 0);
  EXPECT_EQ(ClearLog(), 0);
}

TEST_F(ConfigDbTest, HostileTextsRoundTripWithoutInjection) {
  const Strings hostile = {
      "/s/O'Brien's files",
      "x'); drop table qz_share; --",
      "'; delete from qz_user; select '",
      "a\"b\\c",
      "100% %s %n %Q %d",
      "/s/\xE4\xB8\xAD\xE6\x96\x87 \xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xB9",  // Chinese folder name
      "",
  };
  ASSERT_EQ(SetShareInfo(hostile), 0);
  EXPECT_EQ(Shares(), hostile);

  AccountInfo account{};
  std::strcpy(account.email, "o'x');drop table qz_conf;--");
  std::strcpy(account.psw, "'||(select 1)||'");
  ASSERT_EQ(WriteLogOnInfo(account), 0);
  std::string email, psw;
  GetUsernfo(email, psw);
  EXPECT_EQ(email, account.email);
  EXPECT_EQ(psw, account.psw);

  DefShareRecord dirs{};
  char* fields[] = {dirs.def, dirs.def_pic, dirs.def_music, dirs.def_video, dirs.def_doc};
  for (size_t i = 0; i < 5; ++i) std::strcpy(fields[i], hostile[i].c_str());
  ASSERT_EQ(SetDefaultDir(dirs), 0);
  DefaultDirInfo info;
  ParseDefaultDir(info);
  EXPECT_EQ((Strings{info.def, info.def_pic, info.def_music, info.def_video, info.def_doc}),
            Strings(hostile.begin(), hostile.begin() + 5));

  EXPECT_EQ(Count("select count(*) as n from sqlite_master where type='table'"), 5);
  EXPECT_EQ(Count("select count(*) as n from qz_user"), 1);
}

TEST_F(ConfigDbTest, AccountFieldsAreReadWithinTheirWidth) {
  AccountInfo account;
  std::memset(account.email, 'e', sizeof account.email);  // 32 bytes, no NUL
  std::memset(account.psw, 0, sizeof account.psw);
  std::strcpy(account.psw, "hash");
  ASSERT_EQ(WriteLogOnInfo(account), 0);
  std::string email, psw;
  GetUsernfo(email, psw);
  EXPECT_EQ(email, std::string(32, 'e'));
  EXPECT_EQ(psw, "hash");

  std::memset(account.psw, 'p', sizeof account.psw);
  ASSERT_EQ(WriteLogOnInfo(account), 0);
  GetUsernfo(email, psw);
  EXPECT_EQ(psw, std::string(32, 'p'));
  EXPECT_EQ(Count("select count(*) as n from qz_user"), 1);

  ASSERT_EQ(ClearLogOnInfo(), 0);
  GetUsernfo(email, psw);
  EXPECT_EQ(email + psw, "");
}

TEST_F(ConfigDbTest, ListsKeepOrderAndDropDuplicates) {
  ASSERT_EQ(SetShareInfo({"/b", "/a", "/b", "/c", "/a"}), 0);
  EXPECT_EQ(Shares(), (Strings{"/b", "/a", "/c"}));
  ASSERT_EQ(SetShareInfo({}), 0);
  EXPECT_EQ(Shares(), Strings{});

  DefShareRecord dirs{};
  std::strcpy(dirs.def, "/d");
  std::strcpy(dirs.def_pic, "");
  std::strcpy(dirs.def_music, "/d");
  std::strcpy(dirs.def_video, "/d/video");
  std::strcpy(dirs.def_doc, "/d/doc");
  ASSERT_EQ(SetDefaultDir(dirs), 0);
  Strings list;
  GetDefaultDirList(list);
  EXPECT_EQ(list, (Strings{"/d", "/d/doc", "", "/d/video"}));  // def, doc, music, pic, video
}

TEST_F(ConfigDbTest, DefaultFoldersAreCutOnCharacterBoundaries) {
  const std::string chinese = "\xE4\xB8\xAD";  // one 3-byte character
  DefShareRecord dirs;
  std::memset(&dirs, 0, sizeof dirs);
  std::memset(dirs.def, 'a', sizeof dirs.def);  // 260 bytes without NUL
  std::strcpy(dirs.def_pic, "/pic");
  ASSERT_EQ(SetDefaultDir(dirs), 0);
  DefaultDirInfo info;
  ParseDefaultDir(info);
  EXPECT_EQ(info.def, std::string(260, 'a'));
  EXPECT_EQ(info.def_pic, "/pic");

  CppSQLite3Text sql;
  const std::string music = "ab" + Repeat(chinese, 100);  // 302 bytes
  g_DB.RunCommand("delete from qz_defshare");
  g_DB.RunCommand(sql.Format("insert into qz_defshare values (%Q,'/p',%Q,'','/doc')",
                             std::string(300, 'd').c_str(), music.c_str()));
  std::memset(&dirs, 0x55, sizeof dirs);
  GetDefaultDirs(dirs);
  EXPECT_EQ(std::string(dirs.def), std::string(259, 'd'));
  EXPECT_STREQ(dirs.def_pic, "/p");
  EXPECT_EQ(std::string(dirs.def_music), "ab" + Repeat(chinese, 85));  // 257 bytes
  EXPECT_TRUE(ValidUtf8(dirs.def_music));
  EXPECT_EQ(std::string(dirs.def_video), "");
  EXPECT_STREQ(dirs.def_doc, "/doc");
  EXPECT_EQ(dirs.def_music[258], 0);  // zero-filled behind the text
}

TEST_F(ConfigDbTest, TransferLogRowsAreCutToTheirFields) {
  const std::string chinese = "\xE6\x96\x87";
  const std::string longFile = "/s/" + Repeat(chinese, 100);  // 303 bytes
  CppSQLite3Text sql;
  g_DB.RunCommand(sql.Format(
      "insert into qz_trans(type,status,file,size,time) values (0,0,%Q,1234,%Q)",
      "/s/O'Brien.txt", "2024-01-02 03:04:05"));
  g_DB.RunCommand(sql.Format(
      "insert into qz_trans(type,status,file,size,time) values (65537,-1,%Q,-5,%Q)",
      longFile.c_str(), std::string(40, '9').c_str()));
  g_DB.RunCommand("insert into qz_trans(type) values (1)");

  std::vector<TransLogRow> rows;
  GetTransLog(rows);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].type, 0);
  EXPECT_EQ(rows[0].size, 1234u);
  EXPECT_STREQ(rows[0].file, "/s/O'Brien.txt");
  EXPECT_STREQ(rows[0].time, "2024-01-02 03:04:05");

  EXPECT_EQ(rows[1].type, 1);
  EXPECT_EQ(rows[1].status, 0xFFFF);
  EXPECT_EQ(rows[1].size, 4294967291u);
  EXPECT_EQ(std::string(rows[1].time), std::string(29, '9'));
  EXPECT_EQ(std::string(rows[1].file), "/s/" + Repeat(chinese, 85));  // 258 bytes
  EXPECT_TRUE(ValidUtf8(rows[1].file));

  EXPECT_EQ(rows[2].type, 1);
  EXPECT_EQ(rows[2].size, 0u);
  EXPECT_STREQ(rows[2].file, "");
  EXPECT_STREQ(rows[2].time, "");

  ASSERT_EQ(ClearLog(), 0);
  GetTransLog(rows);
  EXPECT_TRUE(rows.empty());
}

TEST_F(ConfigDbTest, FailedSecondInsertKeepsTheOldShares) {
  ASSERT_EQ(SetShareInfo({"/old1", "/old2"}), 0);
  g_DB.RunCommand(
      "create trigger refuse_second before insert on qz_share "
      "when (select count(*) from qz_share) >= 1 "
      "begin select raise(abort, 'refused'); end;");
  EXPECT_EQ(SetShareInfo({"/new1", "/new2"}), -1);
  EXPECT_EQ(Shares(), (Strings{"/old1", "/old2"}));
  g_DB.RunCommand("drop trigger refuse_second");
  EXPECT_EQ(SetShareInfo({"/new1", "/new2"}), 0);
  EXPECT_EQ(Shares(), (Strings{"/new1", "/new2"}));
}

TEST_F(ConfigDbTest, FailedFormattingFailsTheWriterInsteadOfSkippingTheInsert) {
  ASSERT_EQ(SetShareInfo({"/old"}), 0);
  const std::string huge(1 << 20, 'x');
  sqlite3_int64 before = sqlite3_hard_heap_limit64(-1);
  sqlite3_hard_heap_limit64(sqlite3_memory_used() + (256 << 10));
  int result = SetShareInfo({"/new", huge});
  sqlite3_hard_heap_limit64(before);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Shares(), Strings{"/old"});
  EXPECT_EQ(SetShareInfo({"/next"}), 0);
  EXPECT_EQ(Shares(), Strings{"/next"});
}

TEST_F(ConfigDbTest, ReaderNeverSeesAHalfReplacedShareList) {
  const Strings shares = {"/s1", "/s2"};
  ASSERT_EQ(SetShareInfo(shares), 0);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!done) {
      if (Shares() != shares) ++bad;
    }
  });
  for (int i = 0; i < 200; ++i) ASSERT_EQ(SetShareInfo(shares), 0);
  done = true;
  reader.join();
  EXPECT_EQ(bad, 0);
}

TEST(HasForbiddenCharsTest, RefusesTheSixteenCharacters) {
  for (char c : std::string("';\"=`*%$^&<>{}[]")) {
    EXPECT_EQ(HasForbiddenChars(std::string("user") + c + "@example.com"), -1) << c;
    EXPECT_EQ(HasForbiddenChars(std::string(1, c)), -1) << c;
  }
  for (const char* text : {"user@example.com", "a|b", "|", "", "x.y-z_w+1 (a) #!?/\\"}) {
    EXPECT_EQ(HasForbiddenChars(text), 0) << text;
  }
}
