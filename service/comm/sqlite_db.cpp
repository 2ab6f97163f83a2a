#include "comm/sqlite_db.h"

#include <sqlite3.h>

#include <cstdarg>
#include <cstring>

CppSQLite3DB g_DB;

namespace {

constexpr const char* kCodeNames[] = {
    "SQLITE_OK",       "SQLITE_ERROR",    "SQLITE_INTERNAL", "SQLITE_PERM",
    "SQLITE_ABORT",    "SQLITE_BUSY",     "SQLITE_LOCKED",   "SQLITE_NOMEM",
    "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",   "SQLITE_CORRUPT",
    "SQLITE_NOTFOUND", "SQLITE_FULL",     "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",
    "SQLITE_EMPTY",    "SQLITE_SCHEMA",   "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
    "SQLITE_MISMATCH", "SQLITE_MISUSE",   "SQLITE_NOLFS",    "SQLITE_AUTH",
    "SQLITE_FORMAT",   "SQLITE_RANGE",
};
static_assert(sizeof(kCodeNames) / sizeof(kCodeNames[0]) == 26);

char* DupMessage(const char* text) { return text ? sqlite3_mprintf("%s", text) : nullptr; }

}  // namespace

// ---- CppSQLite3Exception

CppSQLite3Exception::CppSQLite3Exception(int code, const char* detail)
    : m_code(code),
      m_message(sqlite3_mprintf("%s[%d]: %s", CodeName(code), code, detail ? detail : "")) {}

CppSQLite3Exception::CppSQLite3Exception(const CppSQLite3Exception& other)
    : std::exception(other), m_code(other.m_code), m_message(DupMessage(other.m_message)) {}

CppSQLite3Exception& CppSQLite3Exception::operator=(const CppSQLite3Exception& other) {
  if (this != &other) {
    char* copy = DupMessage(other.m_message);
    sqlite3_free(m_message);
    m_message = copy;
    m_code = other.m_code;
  }
  return *this;
}

CppSQLite3Exception::~CppSQLite3Exception() { sqlite3_free(m_message); }

const char* CppSQLite3Exception::CodeName(int code) {
  if (code >= 0 && code <= 25) return kCodeNames[code];
  switch (code) {
    case SQLITE_ROW:
      return "SQLITE_ROW";
    case SQLITE_DONE:
      return "SQLITE_DONE";
    case CPPSQLITE_ERROR:
      return "CPPSQLITE_ERROR";
    default:
      return "UNKNOWN_ERROR";
  }
}

// ---- CppSQLite3Text

CppSQLite3Text::~CppSQLite3Text() { Clear(); }

const char* CppSQLite3Text::Format(const char* fmt, ...) {
  Clear();
  va_list args;
  va_start(args, fmt);
  m_text = sqlite3_vmprintf(fmt, args);
  va_end(args);
  if (!m_text) throw CppSQLite3Exception(SQLITE_NOMEM, "out of memory");
  return m_text;
}

void CppSQLite3Text::Clear() {
  sqlite3_free(m_text);
  m_text = nullptr;
}

// ---- CppSQLite3Query

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool eof)
    : m_db(db), m_stmt(stmt), m_eof(eof), m_columns(sqlite3_column_count(stmt)), m_owner(true) {}

CppSQLite3Query::CppSQLite3Query(CppSQLite3Query&& other) noexcept
    : m_db(other.m_db),
      m_stmt(other.m_stmt),
      m_eof(other.m_eof),
      m_columns(other.m_columns),
      m_owner(other.m_owner) {
  other.m_stmt = nullptr;
  other.m_eof = true;
  other.m_owner = false;
}

CppSQLite3Query& CppSQLite3Query::operator=(CppSQLite3Query&& other) noexcept {
  if (this == &other) return *this;
  try {
    Finish();
  } catch (...) {
  }
  m_db = other.m_db;
  m_stmt = other.m_stmt;
  m_eof = other.m_eof;
  m_columns = other.m_columns;
  m_owner = other.m_owner;
  other.m_stmt = nullptr;
  other.m_eof = true;
  other.m_owner = false;
  return *this;
}

CppSQLite3Query::~CppSQLite3Query() {
  try {
    Finish();
  } catch (...) {
  }
}

void CppSQLite3Query::CheckStatement() const {
  if (!m_stmt) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
}

bool CppSQLite3Query::AtEnd() const {
  CheckStatement();
  return m_eof;
}

void CppSQLite3Query::Advance() {
  CheckStatement();
  if (m_eof) return;  // stepping past the end would restart the statement
  int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_DONE) {
    m_eof = true;
  } else if (rc != SQLITE_ROW) {
    rc = sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    m_eof = true;
    throw CppSQLite3Exception(rc, sqlite3_errmsg(m_db));
  }
}

int CppSQLite3Query::ColumnOf(const char* name) const {
  CheckStatement();
  if (name) {
    for (int i = 0; i < m_columns; ++i) {
      const char* column = sqlite3_column_name(m_stmt, i);
      if (column && std::strcmp(name, column) == 0) return i;
    }
  }
  throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid field name requested");
}

int CppSQLite3Query::ColumnKind(int index) const {
  CheckStatement();
  if (index < 0 || index > m_columns - 1) {
    throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid field index requested");
  }
  return sqlite3_column_type(m_stmt, index);
}

int CppSQLite3Query::IntOf(const char* name) const {
  int index = ColumnOf(name);
  if (ColumnKind(index) == SQLITE_NULL) return 0;
  return sqlite3_column_int(m_stmt, index);
}

const char* CppSQLite3Query::TextOf(const char* name) const {
  int index = ColumnOf(name);
  if (ColumnKind(index) == SQLITE_NULL) return "";
  const unsigned char* text = sqlite3_column_text(m_stmt, index);
  return text ? reinterpret_cast<const char*>(text) : "";
}

void CppSQLite3Query::Finish() {
  if (!m_owner || !m_stmt) return;
  int rc = sqlite3_finalize(m_stmt);
  m_stmt = nullptr;
  m_eof = true;
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(m_db));
}

// ---- CppSQLite3DB

CppSQLite3DB::~CppSQLite3DB() {
  try {
    CloseFile();
  } catch (...) {
  }
}

void CppSQLite3DB::OpenFile(const char* path) {
  std::lock_guard<Mutex> lock(m_mutex);
  CloseFile();
  if (!path) throw CppSQLite3Exception(SQLITE_CANTOPEN, "no database path");
  sqlite3* db = nullptr;
  // Serialized mode: one connection is shared by every thread of the service.
  int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                           SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    CppSQLite3Exception error(rc, db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);  // a failed open still hands back a handle to release
    throw error;
  }
  sqlite3_busy_timeout(db, m_busyTimeoutMs);
  m_db = db;
}

void CppSQLite3DB::CloseFile() {
  std::lock_guard<Mutex> lock(m_mutex);
  if (!m_db) return;
  if (sqlite3_close(m_db) != SQLITE_OK) {
    throw CppSQLite3Exception(CPPSQLITE_ERROR, "Unable to close database");
  }
  m_db = nullptr;
}

bool CppSQLite3DB::IsOpen() const {
  std::lock_guard<Mutex> lock(m_mutex);
  return m_db != nullptr;
}

void CppSQLite3DB::CheckOpen() const {
  if (!m_db) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Database not open");
}

int CppSQLite3DB::RunCommand(const char* sql) {
  std::lock_guard<Mutex> lock(m_mutex);
  CheckOpen();
  if (!sql) throw CppSQLite3Exception(SQLITE_MISUSE, "no SQL text");
  char* error = nullptr;
  int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    CppSQLite3Exception failure(rc, error);
    sqlite3_free(error);
    throw failure;
  }
  return sqlite3_changes(m_db);
}

sqlite3_stmt* CppSQLite3DB::Prepare(const char* sql) {
  std::lock_guard<Mutex> lock(m_mutex);
  CheckOpen();
  if (!sql) throw CppSQLite3Exception(SQLITE_MISUSE, "no SQL text");
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(m_db));
  // A text without a statement (empty, or only a comment) compiles to nothing.
  if (!stmt) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
  return stmt;
}

CppSQLite3Query CppSQLite3DB::RunSelect(const char* sql) {
  std::lock_guard<Mutex> lock(m_mutex);
  sqlite3_stmt* stmt = Prepare(sql);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return CppSQLite3Query(m_db, stmt, true);
  if (rc == SQLITE_ROW) return CppSQLite3Query(m_db, stmt, false);
  rc = sqlite3_finalize(stmt);
  throw CppSQLite3Exception(rc, sqlite3_errmsg(m_db));
}

// ---- CppSQLite3Transaction

CppSQLite3Transaction::CppSQLite3Transaction(CppSQLite3DB& db) : m_db(db), m_lock(db.Lock()) {
  m_db.RunCommand("begin transaction;");
}

CppSQLite3Transaction::~CppSQLite3Transaction() {
  if (m_done) return;
  try {
    m_db.RunCommand("rollback transaction;");
  } catch (...) {
  }
}

void CppSQLite3Transaction::Commit() {
  m_db.RunCommand("commit transaction;");
  m_done = true;
  m_lock.unlock();
}
