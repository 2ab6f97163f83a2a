#include "app/trans_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app_fixture.h"

namespace {

class TransLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    g_Log.SetRepeatWindow(0);  // the cases count repeated lines
    apptest::OpenTestDb(m_dir);
  }
  void TearDown() override {
    g_DB.CloseFile();
    g_Log.Close();
    g_Log.SetRepeatWindow(CLog::kDefaultRepeatWindowMs);
  }

  static int Count() {
    auto lock = g_DB.Lock();
    CppSQLite3Query q = g_DB.RunSelect("select count(*) as n from qz_trans");
    return q.IntOf("n");
  }
  static int MinId() {
    auto lock = g_DB.Lock();
    CppSQLite3Query q = g_DB.RunSelect("select min(id) as n from qz_trans");
    return q.IntOf("n");
  }
  static void Fill(int rows) {
    for (int i = 0; i < rows; ++i) WriteTranLog("/s/f" + std::to_string(i), 0, i);
  }
  std::string LogText() const { return m_dir.Read("Log.txt"); }

  support::TempDir m_dir;
};

TEST_F(TransLogTest, TrimsTheFiftyOldestRowsAtAHundred) {
  Fill(99);
  WriteTranLog("/s/last", 1, 5);
  EXPECT_EQ(Count(), 100);
  EXPECT_EQ(MinId(), 1);
  WriteTranLog("/s/next", 1, 6);
  EXPECT_EQ(Count(), 51);
  EXPECT_EQ(MinId(), 51);  // ids 1 to 50 are gone
}

TEST_F(TransLogTest, RowHoldsThePathUnchangedAndA64BitSize) {
  const std::string path = "/s/it's a \"file\"; drop table qz_trans;--";
  WriteTranLog(path, 1, 3LL << 30);
  auto lock = g_DB.Lock();
  CppSQLite3Query q = g_DB.RunSelect("select * from qz_trans");
  ASSERT_FALSE(q.AtEnd());
  EXPECT_STREQ(q.TextOf("file"), path.c_str());
  EXPECT_EQ(q.IntOf("type"), 1);
  EXPECT_EQ(q.IntOf("status"), 0);
  EXPECT_STREQ(q.TextOf("size"), "3221225472");
  EXPECT_EQ(std::string(q.TextOf("time")).size(), 19u);
}

TEST_F(TransLogTest, MissingTableOnlyLogs) {
  g_DB.RunCommand("drop table qz_trans");
  WriteTranLog("/s/f", 0, 1);
  std::string log = LogText();
  size_t first = log.find("sqlite get a exception code");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("sqlite get a exception code", first + 1), std::string::npos) << log;
}

TEST_F(TransLogTest, FailedInsertRollsTheTrimBack) {
  Fill(100);
  g_DB.RunCommand(
      "create trigger refuse before insert on qz_trans when new.file = '/s/refused' "
      "begin select raise(abort, 'refused'); end;");
  WriteTranLog("/s/refused", 0, 1);
  EXPECT_EQ(Count(), 100);
  EXPECT_EQ(MinId(), 1);
  EXPECT_NE(LogText().find("refused"), std::string::npos);
}

TEST_F(TransLogTest, ConcurrentWritersNeverLeaveMoreThanAHundredRows) {
  std::atomic<int> maxSeen{0};
  auto writer = [&](int id) {
    for (int i = 0; i < 200; ++i) {
      WriteTranLog("/s/t" + std::to_string(id), id, i);
      int n = Count();
      int seen = maxSeen.load();
      while (n > seen && !maxSeen.compare_exchange_weak(seen, n)) {
      }
    }
  };
  std::thread a(writer, 0);
  std::thread b(writer, 1);
  a.join();
  b.join();
  EXPECT_LE(maxSeen.load(), 100);
  EXPECT_GE(Count(), 51);
}

}  // namespace
