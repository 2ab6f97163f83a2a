// A small wrapper over SQLite: the connection, stepped queries, SQL texts composed with
// SQLite's printf, and the one exception type every failure turns into. The service
// has one connection, g_DB, shared by every thread.
//
// Locking: g_DB owns one lock for the life of the object. Every writing transaction
// holds it from begin to commit or rollback (CppSQLite3Transaction), every reader holds
// it for its short select (CppSQLite3DB::Lock), and CloseFile takes it, so nobody sees a
// half-done transaction and nobody uses a connection that is being closed.
#pragma once

#include <exception>
#include <mutex>

struct sqlite3;
struct sqlite3_stmt;

// The wrapper's own code.
inline constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception : public std::exception {
 public:
  // message := "<name of code>[<code>]: <detail>" (detail null gives an empty detail).
  CppSQLite3Exception(int code, const char* detail);
  CppSQLite3Exception(const CppSQLite3Exception& other);
  CppSQLite3Exception& operator=(const CppSQLite3Exception& other);
  ~CppSQLite3Exception() override;

  int Code() const { return m_code; }
  // Never null; empty when the message could not be allocated.
  const char* Message() const { return m_message ? m_message : ""; }
  const char* what() const noexcept override { return Message(); }

  // "SQLITE_OK" ... "SQLITE_RANGE" for 0-25, "SQLITE_ROW", "SQLITE_DONE",
  // "CPPSQLITE_ERROR", else "UNKNOWN_ERROR".
  static const char* CodeName(int code);

 private:
  int m_code;
  char* m_message;  // from sqlite3_mprintf, owned
};

// An SQL text composed with SQLite's printf: %Q quotes a text as an SQL literal
// (inner apostrophes doubled, a null pointer as NULL), %d writes an integer.
class CppSQLite3Text {
 public:
  CppSQLite3Text() = default;
  ~CppSQLite3Text();
  CppSQLite3Text(const CppSQLite3Text&) = delete;
  CppSQLite3Text& operator=(const CppSQLite3Text&) = delete;

  // Releases the previous text and formats anew. Throws SQLITE_NOMEM when SQLite
  // cannot allocate the text, so no statement is ever silently skipped.
  const char* Format(const char* fmt, ...);
  void Clear();
  const char* Text() const { return m_text; }

 private:
  char* m_text = nullptr;
};

// A stepped result set. Exactly one query object finalizes each statement: moving
// hands the statement over and leaves the source empty.
class CppSQLite3Query {
 public:
  CppSQLite3Query() = default;
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool eof);
  CppSQLite3Query(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query& operator=(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query(const CppSQLite3Query&) = delete;
  CppSQLite3Query& operator=(const CppSQLite3Query&) = delete;
  virtual ~CppSQLite3Query();

  // True when no row is current.
  bool AtEnd() const;
  // Steps to the next row; a failed step finalizes the statement and throws.
  void Advance();
  // Index of the column named exactly name (case-sensitive).
  int ColumnOf(const char* name) const;
  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
  int ColumnKind(int index) const;
  // The column's value; NULL reads as 0.
  int IntOf(const char* name) const;
  // The column's text, valid until the next Advance or Finish; NULL reads as "".
  const char* TextOf(const char* name) const;
  // Finalizes the statement (when owned).
  void Finish();

 private:
  void CheckStatement() const;

  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_stmt = nullptr;
  bool m_eof = true;
  int m_columns = 0;
  bool m_owner = false;
};

class CppSQLite3DB {
 public:
  using Mutex = std::recursive_mutex;

  CppSQLite3DB() = default;
  virtual ~CppSQLite3DB();
  CppSQLite3DB(const CppSQLite3DB&) = delete;
  CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;

  // Opens (or creates) the database file in serialized mode with the busy timeout.
  // A connection already open is closed first. Throws on failure; no connection then.
  void OpenFile(const char* path);
  // Closes the connection under the lock; does nothing without one. Throws
  // (1000, "Unable to close database") while statements are left, keeping it open.
  void CloseFile();
  bool IsOpen() const;

  // Runs sql (commands and transactions); returns the number of rows it changed.
  int RunCommand(const char* sql);
  // Compiles the first statement of sql.
  sqlite3_stmt* Prepare(const char* sql);
  // Prepares sql and steps once: the query is on its first row, or at its end.
  CppSQLite3Query RunSelect(const char* sql);

  // The lock every reader holds for its select and every transaction holds throughout.
  std::unique_lock<Mutex> Lock() { return std::unique_lock<Mutex>(m_mutex); }
  std::unique_lock<Mutex> Lock(std::try_to_lock_t) {
    return std::unique_lock<Mutex>(m_mutex, std::try_to_lock);
  }

  void SetBusyTimeout(int ms) { m_busyTimeoutMs = ms; }

 private:
  void CheckOpen() const;

  mutable Mutex m_mutex;
  sqlite3* m_db = nullptr;
  int m_busyTimeoutMs = 60000;
};

extern CppSQLite3DB g_DB;

// One writing transaction: takes db's lock and begins; Commit commits and unlocks.
// Leaving the scope without a successful Commit, by whatever exception, rolls back
// (a failing rollback is ignored) and unlocks.
class CppSQLite3Transaction {
 public:
  explicit CppSQLite3Transaction(CppSQLite3DB& db = g_DB);
  ~CppSQLite3Transaction();
  CppSQLite3Transaction(const CppSQLite3Transaction&) = delete;
  CppSQLite3Transaction& operator=(const CppSQLite3Transaction&) = delete;

  void Commit();

 private:
  CppSQLite3DB& m_db;
  std::unique_lock<CppSQLite3DB::Mutex> m_lock;
  bool m_done = false;
};
