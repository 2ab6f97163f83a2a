#include "comm/sqlite_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>

#include "support/temp_dir.h"

namespace {

// Runs fn, expecting a CppSQLite3Exception; returns it.
template <typename Fn>
CppSQLite3Exception Thrown(Fn&& fn) {
  try {
    fn();
  } catch (const CppSQLite3Exception& e) {
    return e;
  }
  ADD_FAILURE() << "no CppSQLite3Exception";
  return CppSQLite3Exception(-12345, "none");
}

int Count(CppSQLite3DB& db, const char* sql) {
  CppSQLite3Query q = db.RunSelect(sql);
  return q.AtEnd() ? -1 : q.IntOf("n");
}

// True when another thread can take db's lock right now.
bool LockFreeElsewhere(CppSQLite3DB& db) {
  return std::async(std::launch::async, [&db] { return db.Lock(std::try_to_lock).owns_lock(); })
      .get();
}

}  // namespace

TEST(CppSQLite3ExceptionTest, MessageIsNameCodeAndDetail) {
  struct Case {
    int code;
    const char* detail;
    const char* message;
  };
  const Case cases[] = {
      {1000, "Database not open", "CPPSQLITE_ERROR[1000]: Database not open"},
      {0, "init mutex error.", "SQLITE_OK[0]: init mutex error."},
      {1, "near \"x\": syntax error", "SQLITE_ERROR[1]: near \"x\": syntax error"},
      {14, "unable to open database file", "SQLITE_CANTOPEN[14]: unable to open database file"},
      {23, "a", "SQLITE_AUTH[23]: a"},
      {25, "b", "SQLITE_RANGE[25]: b"},
      {26, "c", "UNKNOWN_ERROR[26]: c"},
      {100, "", "SQLITE_ROW[100]: "},
      {101, nullptr, "SQLITE_DONE[101]: "},
      {2067, "UNIQUE constraint failed", "UNKNOWN_ERROR[2067]: UNIQUE constraint failed"},
      {-1, "d", "UNKNOWN_ERROR[-1]: d"},
  };
  for (const Case& c : cases) {
    CppSQLite3Exception e(c.code, c.detail);
    EXPECT_EQ(e.Code(), c.code);
    EXPECT_STREQ(e.Message(), c.message);
    EXPECT_STREQ(e.what(), c.message);
  }
}

TEST(CppSQLite3ExceptionTest, CopyOwnsItsMessage) {
  auto* original = new CppSQLite3Exception(7, "out of memory");
  CppSQLite3Exception copy(*original);
  CppSQLite3Exception assigned(1, "x");
  assigned = *original;
  delete original;
  EXPECT_EQ(copy.Code(), 7);
  EXPECT_STREQ(copy.Message(), "SQLITE_NOMEM[7]: out of memory");
  EXPECT_STREQ(assigned.Message(), "SQLITE_NOMEM[7]: out of memory");
  CppSQLite3Exception& self = assigned;
  assigned = self;
  EXPECT_STREQ(assigned.Message(), "SQLITE_NOMEM[7]: out of memory");
}

TEST(CppSQLite3TextTest, FormatQuotesAndReformats) {
  CppSQLite3Text sql;
  EXPECT_STREQ(sql.Format("v(%Q,%Q,%d)", "O'Brien's", static_cast<const char*>(nullptr), -5),
               "v('O''Brien''s',NULL,-5)");
  EXPECT_STREQ(sql.Format("%Q", "x'); drop table t; --"), "'x''); drop table t; --'");
  EXPECT_STREQ(sql.Text(), "'x''); drop table t; --'");
  sql.Clear();
  EXPECT_EQ(sql.Text(), nullptr);
}

TEST(CppSQLite3TextTest, FormatThrowsNoMemWhenSqliteCannotAllocate) {
  std::string big(1 << 20, 'x');
  sqlite3_int64 before = sqlite3_hard_heap_limit64(-1);
  sqlite3_hard_heap_limit64(sqlite3_memory_used() + (64 << 10));
  CppSQLite3Text sql;
  CppSQLite3Exception e = Thrown([&] { sql.Format("insert into t values(%Q)", big.c_str()); });
  sqlite3_hard_heap_limit64(before);
  EXPECT_EQ(e.Code(), SQLITE_NOMEM);
  EXPECT_EQ(sql.Text(), nullptr);
}

TEST(CppSQLite3DBTest, EverythingThrowsBeforeOpen) {
  CppSQLite3DB db;
  EXPECT_FALSE(db.IsOpen());
  for (auto fn : {+[](CppSQLite3DB& d) { d.RunCommand("select 1"); },
                  +[](CppSQLite3DB& d) { d.Prepare("select 1"); },
                  +[](CppSQLite3DB& d) { d.RunSelect("select 1"); }}) {
    CppSQLite3Exception e = Thrown([&] { fn(db); });
    EXPECT_EQ(e.Code(), 1000);
    EXPECT_STREQ(e.Message(), "CPPSQLITE_ERROR[1000]: Database not open");
  }
  EXPECT_NO_THROW(db.CloseFile());

  CppSQLite3Query none;
  EXPECT_STREQ(Thrown([&] { none.AtEnd(); }).Message(),
               "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  EXPECT_EQ(Thrown([&] { none.Advance(); }).Code(), 1000);
  EXPECT_EQ(Thrown([&] { none.IntOf("x"); }).Code(), 1000);
  EXPECT_NO_THROW(none.Finish());
}

TEST(CppSQLite3DBTest, OpenInMissingFolderThrowsCantOpen) {
  support::TempDir dir;
  CppSQLite3DB db;
  CppSQLite3Exception e = Thrown([&] { db.OpenFile(dir.Sub("missing/Tirvan.db").c_str()); });
  EXPECT_EQ(e.Code(), SQLITE_CANTOPEN);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_STREQ(Thrown([&] { db.RunCommand("select 1"); }).Message(),
               "CPPSQLITE_ERROR[1000]: Database not open");
}

class SqliteFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.OpenFile(dir.Sub("test.db").c_str());
    db.RunCommand("create table t (a integer, b text, c real);");
  }

  support::TempDir dir;
  CppSQLite3DB db;
};

TEST_F(SqliteFileTest, ReadsRowsNullsAndColumns) {
  EXPECT_TRUE(db.RunSelect("select * from t").AtEnd());
  EXPECT_EQ(db.RunCommand("insert into t values (1,'one',1.5),(NULL,NULL,NULL),(3,'three',0)"), 3);

  CppSQLite3Query q = db.RunSelect("select * from t");
  ASSERT_FALSE(q.AtEnd());
  EXPECT_EQ(q.IntOf("a"), 1);
  EXPECT_STREQ(q.TextOf("b"), "one");
  EXPECT_EQ(q.ColumnKind(0), SQLITE_INTEGER);
  EXPECT_EQ(q.ColumnKind(1), SQLITE_TEXT);
  EXPECT_EQ(q.ColumnKind(2), SQLITE_FLOAT);
  q.Advance();
  EXPECT_EQ(q.IntOf("a"), 0);
  EXPECT_STREQ(q.TextOf("b"), "");
  EXPECT_EQ(q.ColumnKind(1), SQLITE_NULL);

  EXPECT_STREQ(Thrown([&] { q.IntOf("A"); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  EXPECT_EQ(Thrown([&] { q.TextOf("missing"); }).Code(), 1000);
  EXPECT_EQ(Thrown([&] { q.ColumnOf(nullptr); }).Code(), 1000);
  EXPECT_STREQ(Thrown([&] { q.ColumnKind(-1); }).Message(),
               "CPPSQLITE_ERROR[1000]: Invalid field index requested");
  EXPECT_EQ(Thrown([&] { q.ColumnKind(3); }).Code(), 1000);

  q.Advance();
  EXPECT_EQ(q.IntOf("a"), 3);
  q.Advance();
  EXPECT_TRUE(q.AtEnd());
  q.Advance();  // stays at the end rather than restarting
  EXPECT_TRUE(q.AtEnd());
}

TEST_F(SqliteFileTest, SqliteErrorsCarryCodeAndText) {
  CppSQLite3Exception e = Thrown([&] { db.RunSelect("selec * from t"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_STREQ(e.Message(), "SQLITE_ERROR[1]: near \"selec\": syntax error");
  e = Thrown([&] { db.RunCommand("insert into nowhere values (1)"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_STREQ(e.Message(), "SQLITE_ERROR[1]: no such table: nowhere");
  EXPECT_EQ(Thrown([&] { db.RunSelect("-- nothing"); }).Code(), 1000);

  // A step that fails on the first row, and one that fails further on.
  e = Thrown([&] { db.RunSelect("select abs(-9223372036854775807 - 1)"); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_STREQ(e.Message(), "SQLITE_ERROR[1]: integer overflow");
  db.RunCommand("insert into t(a) values (1),(-9223372036854775807 - 1)");
  CppSQLite3Query q = db.RunSelect("select abs(a) as v from t");
  EXPECT_EQ(q.IntOf("v"), 1);
  EXPECT_STREQ(Thrown([&] { q.Advance(); }).Message(), "SQLITE_ERROR[1]: integer overflow");
  EXPECT_EQ(Thrown([&] { q.AtEnd(); }).Code(), 1000);  // the statement is gone
  EXPECT_NO_THROW(db.CloseFile());
}

TEST_F(SqliteFileTest, EveryStatementIsFinalizedExactlyOnce) {
  db.RunCommand("insert into t(a) values (1),(2)");
  {
    CppSQLite3Query a = db.RunSelect("select * from t");
    CppSQLite3Query b = db.RunSelect("select a from t where a = 2");
    a = std::move(b);  // a's statement finalized, b's handed over
    EXPECT_EQ(a.IntOf("a"), 2);
    EXPECT_EQ(Thrown([&] { b.AtEnd(); }).Code(), 1000);
    CppSQLite3Query& same = a;
    a = std::move(same);
    EXPECT_EQ(a.IntOf("a"), 2);
    CppSQLite3Query c(std::move(a));
    EXPECT_EQ(c.IntOf("a"), 2);

    // A live statement keeps the connection from closing, and it stays usable.
    CppSQLite3Exception e = Thrown([&] { db.CloseFile(); });
    EXPECT_STREQ(e.Message(), "CPPSQLITE_ERROR[1000]: Unable to close database");
    EXPECT_TRUE(db.IsOpen());
    db.RunSelect("select 1 as n");  // dies at once
  }
  EXPECT_NO_THROW(db.CloseFile());
  EXPECT_FALSE(db.IsOpen());
  EXPECT_NO_THROW(db.CloseFile());
}

TEST_F(SqliteFileTest, TransactionCommitsOrRollsBackOnAnyException) {
  {
    CppSQLite3Transaction tx(db);
    db.RunCommand("insert into t(a) values (1)");
    tx.Commit();
    EXPECT_TRUE(LockFreeElsewhere(db));
  }
  for (int kind = 0; kind < 3; ++kind) {
    try {
      CppSQLite3Transaction tx(db);
      db.RunCommand("insert into t(a) values (2)");
      if (kind == 0) throw std::runtime_error("not a database error");
      if (kind == 1) throw std::bad_alloc();
      db.RunCommand("insert into nowhere values (1)");
      tx.Commit();
    } catch (...) {
    }
    EXPECT_TRUE(LockFreeElsewhere(db)) << kind;
    EXPECT_EQ(Count(db, "select count(*) as n from t"), 1) << kind;
  }
  // No transaction was left open.
  EXPECT_NO_THROW(db.RunCommand("begin transaction;"));
  db.RunCommand("rollback transaction;");
}

TEST_F(SqliteFileTest, TransactionHoldsTheLockUntilCommit) {
  CppSQLite3Transaction tx(db);
  EXPECT_FALSE(LockFreeElsewhere(db));
  tx.Commit();
  EXPECT_TRUE(LockFreeElsewhere(db));
}

TEST_F(SqliteFileTest, CloseWaitsForTheLock) {
  auto lock = db.Lock();
  auto closing = std::async(std::launch::async, [this] { db.CloseFile(); });
  EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_TRUE(db.IsOpen());
  lock.unlock();
  closing.get();
  EXPECT_FALSE(db.IsOpen());
}

TEST_F(SqliteFileTest, ReopenClosesThePreviousFile) {
  db.RunCommand("insert into t(a) values (1)");
  db.OpenFile(dir.Sub("other.db").c_str());
  EXPECT_EQ(Thrown([&] { db.RunSelect("select * from t"); }).Code(), 1);
  db.OpenFile(dir.Sub("test.db").c_str());
  EXPECT_EQ(Count(db, "select count(*) as n from t"), 1);
}
