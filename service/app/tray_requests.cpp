#include "app/tray_requests.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/device_requests.h"
#include "app/download.h"
#include "app/logon.h"
#include "app/service_init.h"
#include "app/transfer_table.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/log.h"
#include "comm/utils.h"
#include "platform/charset.h"

namespace {

constexpr size_t kMaxTransLogRecords = kMaxShowPayload / kTransLogRecordSize;
constexpr int64_t kMobileLinkedSeconds = 60;

std::vector<std::string> FileSystemRoots() { return {"/"}; }

std::atomic<ShowRootLister> g_rootLister{FileSystemRoots};

// A reply of len bytes headed {len, the request's opcode, its number}; null after
// "Allocate memory error." when it cannot be allocated.
uint8_t* NewReply(const MsgHead* head, size_t len, uint8_t** reply, int32_t* replyLen) {
  uint8_t* r = AllocReply(len);
  if (r == nullptr) {
    TLOG(MOD_SHOW, LOG_ERROR, "Allocate memory error.");
    return nullptr;
  }
  MsgHead{static_cast<uint16_t>(len), head->opcode, head->seq}.Encode(r);
  *reply = r;
  *replyLen = static_cast<int32_t>(len);
  return r;
}

// The ShowResultReply with result; returns rc, or ERR_ALLOC.
int ResultReply(const MsgHead* head, int32_t result, uint8_t** reply, int32_t* replyLen,
                int rc = ERR_OK) {
  uint8_t* r = NewReply(head, kShowResultReplySize, reply, replyLen);
  if (r == nullptr) return ERR_ALLOC;
  wire::PutU32(r + 8, static_cast<uint32_t>(result));
  return rc;
}

// A reply of the head and text.
int TextReply(const MsgHead* head, const std::string& text, uint8_t** reply, int32_t* replyLen) {
  uint8_t* r = NewReply(head, MsgHead::kSize + text.size(), reply, replyLen);
  if (r == nullptr) return ERR_ALLOC;
  std::memcpy(r + MsgHead::kSize, text.data(), text.size());
  return ERR_OK;
}

// A text field: up to its first zero byte, at most n bytes.
std::string FieldText(const uint8_t* field, size_t n) {
  const char* p = reinterpret_cast<const char*>(field);
  return std::string(p, strnlen(p, n));
}

// Towards storage, strictly: false when any character would be lost or changed.
bool ToStorage(const std::string& utf8, std::string* out) {
  bool ok = false;
  *out = platform::ConvertCharset(utf8, "UTF-8", platform::kNarrowCharset, &ok);
  return ok;
}

// Towards the wire; "" (logged) for a stored text that does not convert.
std::string ToWire(const std::string& stored) {
  bool ok = false;
  std::string utf8 = platform::ConvertCharset(stored, platform::kNarrowCharset, "UTF-8", &ok);
  if (ok) return utf8;
  TLOG(MOD_SHOW, LOG_ERROR, "stored text %s does not convert to UTF-8; left out.", stored.c_str());
  return "";
}

// "line\r\n" for every line, cut after the last whole line that fits a reply.
std::string PathList(const std::vector<std::string>& lines, const char* what) {
  std::string text;
  for (const std::string& l : lines) {
    if (text.size() + l.size() + 2 > kMaxShowPayload) {
      TLOG(MOD_SHOW, LOG_ERROR, "%s: list cut after %zu bytes, the most a reply holds.", what,
           text.size());
      break;
    }
    text += l;
    text += "\r\n";
  }
  return text;
}

// The payload as text, up to a zero byte if it holds one.
std::string PayloadText(const uint8_t* body, uint32_t bodyLen) {
  if (body == nullptr || bodyLen == 0) return "";
  return FieldText(body, bodyLen);
}

const char* Masked(const std::string& psw) { return psw.empty() ? "" : "***"; }

}  // namespace

void SetShowRootLister(ShowRootLister lister) {
  g_rootLister = lister != nullptr ? lister : FileSystemRoots;
}

// ---- Account and logon.

int Show_GetLogOnInfo(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                      int32_t* replyLen, int32_t*, uint8_t*) {
  std::string email, psw;
  GetUsernfo(email, psw);
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetLogOnInfo username %s pwd ", email.c_str());
  uint8_t* r = NewReply(head, kAccountInfoReplySize, reply, replyLen);
  if (r == nullptr) return ERR_ALLOC;
  // The account texts pass unconverted, cut so that one zero byte stays.
  std::memcpy(r + 8, email.data(), std::min(email.size(), kAccountFieldSize - 1));
  std::memcpy(r + 8 + kAccountFieldSize, psw.data(), std::min(psw.size(), kAccountFieldSize - 1));
  return ERR_OK;
}

int Show_LogOnStatues(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                      int32_t* replyLen, int32_t*, uint8_t*) {
  int rtn;
  {
    std::lock_guard<std::mutex> lock(g_MutexLogOnRtn);
    rtn = g_LogOnRtn;
  }
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_LogOnStatues statues %d ", rtn);
  return ResultReply(head, rtn, reply, replyLen);
}

int Show_LogOn(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
               uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  if (body == nullptr || bodyLen == 0) {
    TLOG(MOD_SHOW, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  // A payload shorter than the account record carries no account.
  AccountInfo info{};
  if (bodyLen >= sizeof info) std::memcpy(&info, body, sizeof info);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&info);
  std::string email = FieldText(raw, kAccountFieldSize);
  std::string psw = FieldText(raw + kAccountFieldSize, kAccountFieldSize);
  TLOG(MOD_SHOW, LOG_DEBUG, "--------------------------username %s psw %s", email.c_str(),
       Masked(psw));
  // A text that fills its field could be stored, but never be sent whole again.
  if (email.empty() || psw.empty() || email.size() == kAccountFieldSize ||
      psw.size() == kAccountFieldSize) {
    TLOG(MOD_SHOW, LOG_ERROR, "user name or pass world error .username %s psw %s", email.c_str(),
         Masked(psw));
    return ResultReply(head, ERR_USER_EMPTY, reply, replyLen, ERR_USER_EMPTY);
  }
  if (HasForbiddenChars(email) != 0 || HasForbiddenChars(psw) != 0) {
    TLOG(MOD_SHOW, LOG_ERROR, "user name or pass world error .username %s psw %s", email.c_str(),
         Masked(psw));
    return ResultReply(head, ERR_BAD_CHARS, reply, replyLen, ERR_BAD_CHARS);
  }
  LogOut();
  if (WriteLogOnInfo(info) != 0) {
    TLOG(MOD_SHOW, LOG_ERROR, "write log on info to db error.");
    return ResultReply(head, ERR_WRITE_DB, reply, replyLen, ERR_WRITE_DB);
  }
  int rtn = LogOn();
  {
    std::lock_guard<std::mutex> lock(g_MutexLogOnRtn);
    g_LogOnRtn = rtn;
  }
  SetSVInfo();
  SetPowerOnInfo();
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_LogOn return code %d ", rtn);
  return ResultReply(head, rtn, reply, replyLen);
}

int Show_LogOut(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                int32_t* replyLen, int32_t*, uint8_t*) {
  TLOG(MOD_SHOW, LOG_DEBUG, "%s ", "Show_LogOut");
  LogOut();
  int result = ClearLogOnInfo();
  {
    std::lock_guard<std::mutex> lock(g_MutexLogOnRtn);
    g_LogOnRtn = ERR_USER_EMPTY;
  }
  return ResultReply(head, result, reply, replyLen);
}

// ---- Default folders and shares.

int Show_GetDefShare(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                     int32_t* replyLen, int32_t*, uint8_t*) {
  DefShareRecord dirs;
  GetDefaultDirs(dirs);
  TLOG(MOD_SHOW, LOG_DEBUG,
       "Show_GetDefShare Default %s, DefaultDoc %s, DefaultMusic %s, DefaultPic %s, "
       "DefaultVideo %s",
       dirs.def, dirs.def_doc, dirs.def_music, dirs.def_pic, dirs.def_video);
  uint8_t* r = NewReply(head, MsgHead::kSize + kDefShareRecordSize, reply, replyLen);
  if (r == nullptr) return ERR_ALLOC;
  const char* fields[] = {dirs.def, dirs.def_pic, dirs.def_music, dirs.def_video, dirs.def_doc};
  for (size_t i = 0; i < 5; ++i) {
    std::string stored(fields[i], strnlen(fields[i], kFolderFieldSize));
    wire::PutText(r + MsgHead::kSize + i * kFolderFieldSize, kFolderFieldSize, ToWire(stored));
  }
  return ERR_OK;
}

int Show_SetDefShare(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
                     uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  if (body == nullptr || bodyLen == 0) {
    TLOG(MOD_SHOW, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  if (bodyLen < kDefShareRecordSize) {
    TLOG(MOD_SHOW, LOG_ERROR, "Show_SetDefShare: record of %u bytes, not %u; nothing stored.",
         bodyLen, kDefShareRecordSize);
    return ResultReply(head, -1, reply, replyLen);
  }
  DefShareRecord dirs;
  std::memset(&dirs, 0, sizeof dirs);
  char* fields[] = {dirs.def, dirs.def_pic, dirs.def_music, dirs.def_video, dirs.def_doc};
  for (size_t i = 0; i < 5; ++i) {
    const uint8_t* field = body + i * kFolderFieldSize;
    std::string utf8 = FieldText(field, kFolderFieldSize);
    std::string stored;
    // A folder without its zero byte, or one that the conversion would change, is not the
    // folder the user chose.
    if (utf8.size() == kFolderFieldSize || !ToStorage(utf8, &stored) ||
        stored.size() >= kFolderFieldSize) {
      TLOG(MOD_SHOW, LOG_ERROR, "Show_SetDefShare: folder %s cannot be stored as it is; "
           "nothing stored.", utf8.c_str());
      return ResultReply(head, -1, reply, replyLen);
    }
    std::memcpy(fields[i], stored.data(), stored.size());
  }
  TLOG(MOD_SHOW, LOG_DEBUG,
       "Show_SetDefShare Default %s, DefaultDoc %s, DefaultMusic %s, DefaultPic %s, "
       "DefaultVideo %s",
       dirs.def, dirs.def_doc, dirs.def_music, dirs.def_pic, dirs.def_video);
  int result = SetDefaultDir(dirs);
  if (result != 0) TLOG(MOD_SHOW, LOG_ERROR, "set def dir error.");
  return ResultReply(head, result, reply, replyLen);
}

int Show_GetShare(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                  int32_t* replyLen, int32_t*, uint8_t*) {
  std::vector<std::string> shares;
  ParseShareInfo(shares);
  std::vector<std::string> lines;
  for (const std::string& s : shares) {
    std::string utf8 = ToWire(s);
    if (!utf8.empty()) lines.push_back(utf8);
  }
  std::string text = PathList(lines, "Show_GetShare");
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetShare %s", text.c_str());
  return TextReply(head, text, reply, replyLen);
}

int Show_SetShare(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
                  uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  std::string text;
  if (!ToStorage(PayloadText(body, bodyLen), &text)) {
    TLOG(MOD_SHOW, LOG_ERROR, "Show_SetShare: the list cannot be stored as it is; nothing stored.");
    return ResultReply(head, -1, reply, replyLen);
  }
  std::vector<std::string> pieces;
  SplitString(text, "\r\n", pieces);
  TLOG(MOD_SHOW, LOG_DEBUG, "%s", "Show_SetShare:");
  std::vector<std::string> shares;
  for (const std::string& p : pieces) {
    if (p.empty()) continue;
    TLOG(MOD_SHOW, LOG_DEBUG, "%s", p.c_str());
    shares.push_back(p);
  }
  return ResultReply(head, SetShareInfo(shares), reply, replyLen);
}

int Show_GetPath(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
                 uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  std::vector<std::string> lines;
  std::string folderUtf8 = PayloadText(body, bodyLen);
  if (folderUtf8.empty()) {
    lines = g_rootLister.load()();
  } else {
    std::string folder;
    if (folderUtf8.size() > kMaxPathLen || !ToStorage(folderUtf8, &folder)) {
      // Listing a cut or converted text would list some other folder.
      TLOG(MOD_SHOW, LOG_ERROR, "Show_GetPath: folder of %zu bytes cannot be listed.",
           folderUtf8.size());
    } else {
      std::vector<std::string> names;
      ListSubDirs(folder, names);
      for (const std::string& n : names) lines.push_back(folder + kShowPathSeparator + n);
    }
  }
  std::vector<std::string> wireLines;
  for (const std::string& l : lines) {
    std::string utf8 = ToWire(l);
    if (!utf8.empty()) wireLines.push_back(utf8);
  }
  std::string text = PathList(wireLines, "Show_GetPath");
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetPath %s", text.c_str());
  return TextReply(head, text, reply, replyLen);
}

// ---- Transfers and status.

int Show_GetTransLog(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                     int32_t* replyLen, int32_t*, uint8_t*) {
  std::vector<TransLogRow> rows;
  GetTransLog(rows);
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetTransLog log count %d", static_cast<int>(rows.size()));
  if (rows.size() > kMaxTransLogRecords) {
    TLOG(MOD_SHOW, LOG_ERROR, "Show_GetTransLog: %zu rows, the first %zu sent.", rows.size(),
         kMaxTransLogRecords);
    rows.resize(kMaxTransLogRecords);
  }
  uint8_t* r = NewReply(head, MsgHead::kSize + kTransLogRecordSize * rows.size(), reply, replyLen);
  if (r == nullptr) return ERR_ALLOC;
  for (size_t i = 0; i < rows.size(); ++i) {
    const TransLogRow& row = rows[i];
    uint8_t* p = r + MsgHead::kSize + kTransLogRecordSize * i;
    wire::PutU16(p, row.type);
    wire::PutU16(p + 2, row.status);
    wire::PutU32(p + 4, row.size);
    wire::PutText(p + 8, kTransTimeSize, FieldText(reinterpret_cast<const uint8_t*>(row.time),
                                                   sizeof row.time));
    std::string file(row.file, strnlen(row.file, sizeof row.file));
    wire::PutText(p + 8 + kTransTimeSize, kFolderFieldSize, ToWire(file));
  }
  return ERR_OK;
}

int Show_GetIsTraning(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                      int32_t* replyLen, int32_t*, uint8_t*) {
  // One lock at a time: the download count's, then the transfer table's.
  int32_t down = GetDownLoadCount();
  size_t up = TransSize();
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetIsTraning DownLoad %d UpLoad %d", down, static_cast<int>(up));
  uint8_t* r = NewReply(head, kShowResultReplySize, reply, replyLen);
  if (r == nullptr) return ERR_ALLOC;
  wire::PutU16(r + 8, static_cast<uint16_t>(up));
  wire::PutU16(r + 10, static_cast<uint16_t>(down));
  return ERR_OK;
}

int Show_GetIsMobileLinked(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*,
                           uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  std::string last;
  int64_t lastEpoch;
  {
    std::lock_guard<std::mutex> lock(g_MutexLastHBTime);
    last = g_LastHBTime;
    lastEpoch = g_LastHBEpoch;
  }
  int32_t linked = -1;
  if (last.empty()) {
    TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetIsMobileLinked no recv any heart beat.");
  } else {
    // Seconds since the epoch, so a change of the clock to or from summer time counts
    // for nothing.
    int64_t diff = DeviceClockNow() - lastEpoch;
    if (diff < 0) diff = -diff;
    TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetIsMobileLinked time diff %d", static_cast<int>(diff));
    linked = diff <= kMobileLinkedSeconds ? 0 : -1;
  }
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetIsMobileLinked  iIsMobileLineked %d", linked);
  return ResultReply(head, linked, reply, replyLen);
}

int Show_GetSysType(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                    int32_t* replyLen, int32_t*, uint8_t*) {
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_GetSysType DownLoad %d ", g_SysType);
  return ResultReply(head, g_SysType, reply, replyLen);
}

int Show_ClearLog(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                  int32_t* replyLen, int32_t*, uint8_t*) {
  int result = ClearLog();
  TLOG(MOD_SHOW, LOG_DEBUG, "Show_ClearLog %d ", result);
  return ResultReply(head, result, reply, replyLen);
}
