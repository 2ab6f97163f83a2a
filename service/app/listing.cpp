#include "app/listing.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/transfer_table.h"
#include "comm/config_db.h"
#include "comm/errors.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/share_paths.h"
#include "comm/utils.h"
#include "platform/charset.h"

namespace {

constexpr size_t kReplyHeadSize = 20;
constexpr size_t kErrorFormSize = 368;

// Answers a reply of kReplyHeadSize + text bytes: head, the count in the form each
// reply gives it, then the text. The length field keeps the low 16 bits.
bool SetTextReply(const MsgHead* head, uint16_t opcode, bool wideCount, uint32_t count,
                  const std::string& text, uint8_t** reply, int32_t* replyLen) {
  size_t len = kReplyHeadSize + text.size();
  uint8_t* r = AllocReply(len);
  if (r == nullptr) return false;
  MsgHead{static_cast<uint16_t>(len), opcode, head->seq}.Encode(r);
  if (wideCount) {
    wire::PutU32(r + 8, count);
  } else {
    wire::PutU16(r + 8, static_cast<uint16_t>(count));
  }
  std::memcpy(r + kReplyHeadSize, text.data(), text.size());
  *reply = r;
  *replyLen = static_cast<int32_t>(len);
  return true;
}

// The 368-byte error form of the folder listing; returns code, or ERR_ALLOC.
int SetListingError(const MsgHead* head, int code, uint8_t** reply, int32_t* replyLen) {
  uint8_t* r = AllocReply(kErrorFormSize);
  if (r == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  MsgHead{static_cast<uint16_t>(kErrorFormSize), OP_GET_ALL_SUB_FILE, head->seq}.Encode(r);
  *reply = r;
  *replyLen = static_cast<int32_t>(kErrorFormSize);
  return code;
}

}  // namespace

bool ReadRequestPath(const uint8_t* body, uint32_t bodyLen, uint8_t direct, std::string& path) {
  uint32_t off = RecordOffset(direct);
  if (body == nullptr || bodyLen < off + kDownLoadRequestSize) return false;
  const char* field = reinterpret_cast<const char*>(body + off + 1);
  size_t n = strnlen(field, kDownLoadRequestSize - 1);
  if (n == kDownLoadRequestSize - 1) return false;  // no terminating zero
  path.assign(field, n);
  return true;
}

int GetShareInfo(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                 int32_t* replyLen, int32_t*, uint8_t*) {
  TLOG(MOD_INTRANET, LOG_DEBUG, "get share dir");
  std::vector<std::string> folders;
  ParseShareInfo(folders);
  DefaultDirInfo defaults;
  ParseDefaultDir(defaults);
  bool listed = false;
  for (const std::string& f : folders) listed = listed || f == defaults.def;
  if (!defaults.def.empty() && !listed) folders.push_back(defaults.def);

  std::string text;
  for (const std::string& f : folders) text += f + "\r\n";
  text = platform::ConvertCharset(text, platform::kNarrowCharset, "UTF-8");
  TLOG(MOD_INTRANET, LOG_DEBUG, "share dir size: %d info :%s", static_cast<int>(folders.size()),
       text.c_str());
  if (!SetTextReply(head, OP_GET_SHARE_INFO, false, static_cast<uint32_t>(folders.size()), text,
                    reply, replyLen)) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  return ERR_OK;
}

int GetAllSubFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
                  uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t* direct) {
  if (body == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  std::string requested;
  if (!ReadRequestPath(body, bodyLen, *direct, requested)) {
    if (bodyLen < RecordOffset(*direct) + kDownLoadRequestSize) {
      TLOG(MOD_INTRANET, LOG_ERROR, "listing refused: a request of %u bytes, %u needed.", bodyLen,
           RecordOffset(*direct) + kDownLoadRequestSize);
    } else {
      TLOG(MOD_INTRANET, LOG_ERROR, "listing refused: the requested path has no end.");
    }
    return SetListingError(head, ERR_NULL_MSG, reply, replyLen);
  }
  std::string path = platform::ConvertCharset(requested, "UTF-8", platform::kNarrowCharset);
  TLOG(MOD_INTRANET, LOG_DEBUG, "get file list in dir:%s", path.c_str());
  path = ExpandDefaultDirMacro(path);
  if (path.empty()) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "%s.", "def share dir is empty.");
    return SetListingError(head, ERR_DEF_SHARE_EMPTY, reply, replyLen);
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "get %s sub file.", path.c_str());
  // A longer path is refused: cutting it would name a different folder.
  if (path.size() > kMaxRequestPathLen) {
    TLOG(MOD_INTRANET, LOG_ERROR, "listing of %s refused: the path is longer than %zu bytes.",
         path.c_str(), kMaxRequestPathLen);
    return SetListingError(head, ERR_PATH_NOT_EXIST, reply, replyLen);
  }
  if (int code = CheckSharedPath(path); code != ERR_OK) {
    TLOG(MOD_INTRANET, LOG_ERROR, "listing of %s refused: %s.", path.c_str(),
         code == ERR_PATH_NOT_EXIST ? "not an existing folder" : "not in share list");
    return SetListingError(head, code, reply, replyLen);
  }

  std::vector<DirEntry> entries;
  ListDirEntries(path, entries);
  std::string text;
  for (const DirEntry& e : entries) {
    text += e.time + "\t" + std::to_string(e.kind) + "\t" + std::to_string(DirEntryWireSize(e)) +
            "\t" + e.name + "\r\n";
  }
  text += "\r\n";
  text = platform::ConvertCharset(text, platform::kNarrowCharset, "UTF-8");
  TLOG(MOD_INTRANET, LOG_DEBUG, "share size %d.share %s", static_cast<int>(entries.size()),
       text.c_str());
  uint32_t count = text.empty() ? 0 : static_cast<uint32_t>(entries.size());
  if (!SetTextReply(head, OP_GET_ALL_SUB_FILE, true, count, text, reply, replyLen)) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  return ERR_OK;
}
