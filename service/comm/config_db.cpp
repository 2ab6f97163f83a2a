#include "comm/config_db.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/sqlite_db.h"
#include "platform/charset.h"

namespace {

constexpr int kDefaultLogPriority = 600;

void LogDbException(const char* func, int line, const CppSQLite3Exception& e) {
  g_Log.Print(MOD_COMMLIB, LOG_DEBUG, func, line, "sqlite get a exception code %d,msg %s",
              e.Code(), e.Message());
}

void LogOtherException(const char* func, int line, const char* what) {
  g_Log.Print(MOD_COMMLIB, LOG_ERROR, func, line, "database access failed: %s", what);
}

// Runs body inside one transaction of g_DB. 0 on commit; failValue when anything
// threw (the guard has then rolled back and unlocked).
template <typename Body>
int RunWriter(const char* func, int line, int failValue, Body&& body) {
  try {
    CppSQLite3Transaction transaction(g_DB);
    body();
    transaction.Commit();
    return 0;
  } catch (const CppSQLite3Exception& e) {
    LogDbException(func, line, e);
  } catch (const std::exception& e) {
    LogOtherException(func, line, e.what());
  } catch (...) {
    LogOtherException(func, line, "unknown exception");
  }
  return failValue;
}

// Runs body(query) over the select under g_DB's lock, so no writer's transaction is
// seen half done. False when anything threw (logged); the outputs keep what body set
// so far.
template <typename Body>
bool RunReader(const char* func, int line, const char* select, Body&& body) {
  try {
    auto lock = g_DB.Lock();
    CppSQLite3Query query = g_DB.RunSelect(select);
    body(query);
    return true;
  } catch (const CppSQLite3Exception& e) {
    LogDbException(func, line, e);
  } catch (const std::exception& e) {
    LogOtherException(func, line, e.what());
  } catch (...) {
    LogOtherException(func, line, "unknown exception");
  }
  return false;
}

std::string FieldText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

// text into a zeroed field of size bytes, cut on a character boundary so a NUL stays.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  std::string cut = platform::CutToCharBoundary(text, N - 1, platform::kNarrowCharset);
  std::memset(field, 0, N);
  std::memcpy(field, cut.data(), cut.size());
}

void AppendUnique(std::vector<std::string>& list, const std::string& text) {
  if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
}

}  // namespace

// ---- Writers

int ClearLogOnInfo() {
  return RunWriter(__func__, __LINE__, -1, [] { g_DB.RunCommand("delete from qz_user"); });
}

int WriteLogOnInfo(const AccountInfo& info) {
  std::string email = FieldText(info.email, sizeof info.email);
  std::string psw = FieldText(info.psw, sizeof info.psw);
  return RunWriter(__func__, __LINE__, -1, [&] {
    g_DB.RunCommand("delete from qz_user");
    CppSQLite3Text sql;
    g_DB.RunCommand(sql.Format("insert into qz_user (email, psw) values (%Q,%Q)", email.c_str(),
                               psw.c_str()));
  });
}

int SetDefaultDir(const DefShareRecord& dirs) {
  std::string def = FieldText(dirs.def, sizeof dirs.def);
  std::string pic = FieldText(dirs.def_pic, sizeof dirs.def_pic);
  std::string music = FieldText(dirs.def_music, sizeof dirs.def_music);
  std::string video = FieldText(dirs.def_video, sizeof dirs.def_video);
  std::string doc = FieldText(dirs.def_doc, sizeof dirs.def_doc);
  return RunWriter(__func__, __LINE__, -1, [&] {
    g_DB.RunCommand("delete from qz_defshare");
    CppSQLite3Text sql;
    g_DB.RunCommand(sql.Format(
        "insert into qz_defshare(def,def_pic,def_music,def_video,def_doc)values(%Q,%Q,%Q,%Q,%Q)",
        def.c_str(), pic.c_str(), music.c_str(), video.c_str(), doc.c_str()));
  });
}

int SetShareInfo(const std::vector<std::string>& shares) {
  return RunWriter(__func__, __LINE__, -1, [&] {
    g_DB.RunCommand("delete from qz_share");
    CppSQLite3Text sql;
    for (const std::string& path : shares) {
      g_DB.RunCommand(sql.Format("insert into qz_share(path) values (%Q)", path.c_str()));
    }
  });
}

int ClearLog() {
  return RunWriter(__func__, __LINE__, 1, [] { g_DB.RunCommand("delete from qz_trans"); });
}

// ---- Readers

void ParseLocalPort() {
  g_LocalPort = 0;
  bool read = RunReader(__func__, __LINE__, "select * from qz_conf", [](CppSQLite3Query& q) {
    if (!q.AtEnd()) g_LocalPort = static_cast<uint16_t>(q.IntOf("localport"));
  });
  if (!read) TLOG(MOD_COMMLIB, LOG_ERROR, "the configuration table qz_conf cannot be read.");
}

void ParseLogConf(int& console, int& priority) {
  console = 0;
  priority = kDefaultLogPriority;
  bool read = RunReader(__func__, __LINE__, "select * from qz_conf", [&](CppSQLite3Query& q) {
    if (q.AtEnd()) return;
    console = q.IntOf("log_console");
    priority = q.IntOf("log_priority");
  });
  if (!read) TLOG(MOD_COMMLIB, LOG_ERROR, "the configuration table qz_conf cannot be read.");
}

void GetServerInfo(std::string& host, uint16_t& port) {
  host.clear();
  port = 0;
  RunReader(__func__, __LINE__, "select * from qz_conf", [&](CppSQLite3Query& q) {
    if (q.AtEnd()) return;
    host = q.TextOf("svhost");
    port = static_cast<uint16_t>(q.IntOf("svport"));
  });
}

void GetP2PServerInfo(std::string& host, uint16_t& port) {
  host.clear();
  port = 0;
  RunReader(__func__, __LINE__, "select * from qz_conf", [&](CppSQLite3Query& q) {
    if (q.AtEnd()) return;
    host = q.TextOf("p2phost");
    port = static_cast<uint16_t>(q.IntOf("p2pport"));
  });
}

void GetUsernfo(std::string& email, std::string& psw) {
  email.clear();
  psw.clear();
  RunReader(__func__, __LINE__, "select * from qz_user;", [&](CppSQLite3Query& q) {
    if (q.AtEnd()) return;
    email = q.TextOf("email");
    psw = q.TextOf("psw");
  });
}

void ParseDefaultDir(DefaultDirInfo& info) {
  info = DefaultDirInfo{};
  RunReader(__func__, __LINE__, "select * from qz_defshare", [&](CppSQLite3Query& q) {
    if (q.AtEnd()) return;
    info.def = q.TextOf("def");
    info.def_pic = q.TextOf("def_pic");
    info.def_music = q.TextOf("def_music");
    info.def_video = q.TextOf("def_video");
    info.def_doc = q.TextOf("def_doc");
  });
}

void GetDefaultDirs(DefShareRecord& dirs) {
  std::memset(&dirs, 0, sizeof dirs);
  DefaultDirInfo info;
  ParseDefaultDir(info);
  CopyField(dirs.def, info.def);
  CopyField(dirs.def_pic, info.def_pic);
  CopyField(dirs.def_music, info.def_music);
  CopyField(dirs.def_video, info.def_video);
  CopyField(dirs.def_doc, info.def_doc);
}

void GetDefaultDirList(std::vector<std::string>& list) {
  list.clear();
  DefaultDirInfo info;
  ParseDefaultDir(info);
  for (const std::string* dir :
       {&info.def, &info.def_doc, &info.def_music, &info.def_pic, &info.def_video}) {
    AppendUnique(list, *dir);
  }
}

void ParseShareInfo(std::vector<std::string>& list) {
  list.clear();
  RunReader(__func__, __LINE__, "select * from qz_share", [&](CppSQLite3Query& q) {
    for (; !q.AtEnd(); q.Advance()) AppendUnique(list, q.TextOf("path"));
  });
}

void GetTransLog(std::vector<TransLogRow>& rows) {
  rows.clear();
  RunReader(__func__, __LINE__, "select * from qz_trans", [&](CppSQLite3Query& q) {
    for (; !q.AtEnd(); q.Advance()) {
      TransLogRow row;
      std::memset(&row, 0, sizeof row);
      row.size = static_cast<uint32_t>(q.IntOf("size"));
      row.status = static_cast<uint16_t>(q.IntOf("status"));
      row.type = static_cast<uint16_t>(q.IntOf("type"));
      CopyField(row.time, q.TextOf("time"));
      CopyField(row.file, q.TextOf("file"));
      rows.push_back(row);
    }
  });
}

// ---- Account texts

int HasForbiddenChars(const std::string& text) {
  // Each forbidden character followed by the separator "|".
  static const char kForbidden[] = "'|;|\"|=|`|*|%|$|^|&|<|>|{|}|[|]|";
  for (const char* p = kForbidden; *p; ++p) {
    if (*p == '|') continue;
    if (text.find(*p) != std::string::npos) return -1;
  }
  return 0;
}
