#include "app/trans_log.h"

#include <exception>

#include "comm/log.h"
#include "comm/sqlite_db.h"

namespace {

constexpr int kTrimAt = 100;

void LogDbException(const CppSQLite3Exception& e) {
  TLOG(MOD_COMMLIB, LOG_DEBUG, "sqlite get a exception code %d,msg %s", e.Code(), e.Message());
}

}  // namespace

void WriteTranLog(const std::string& path, int kind, int64_t size) {
  try {
    // Counting inside the transaction, under the database's lock, keeps two writers
    // from both seeing 99 rows.
    CppSQLite3Transaction transaction(g_DB);
    int rows = 0;
    try {
      CppSQLite3Query q = g_DB.RunSelect("select count(*) as num from qz_trans");
      if (!q.AtEnd()) rows = q.IntOf("num");
    } catch (const CppSQLite3Exception& e) {
      LogDbException(e);
    }
    if (rows >= kTrimAt) {
      g_DB.RunCommand(
          "delete from qz_trans where id in (select id from qz_trans order by id limit 50)");
    }
    CppSQLite3Text sql;
    g_DB.RunCommand(sql.Format(
        "insert into qz_trans (type,status,file,size,time)values(%d,%d,%Q,%lld,%Q)", kind, 0,
        path.c_str(), static_cast<long long>(size), GetCurTimeStr().c_str()));
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    LogDbException(e);
  } catch (const std::exception& e) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "write transfer log failed: %s", e.what());
  }
}
