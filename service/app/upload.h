// Uploads from a device into a shared folder, with resume.
//
// A device announces a file (OP_REQ_UP_LOAD_FILE) with its size, digest and target path
// T; the service answers the offset from which to send (OP_UP_LOAD_ALLOW) or refuses
// (OP_UP_LOAD_ERROR). The data messages (OP_UP_LOAD_FILE) are appended to a data file
// next to T, and the end message (OP_OVER_UP_LOAD_FILE) gives the complete file its
// final name: T, or a free "T.(n).ext" when T holds other content. A data message that
// cannot be written (a full disk, or data past the announced size) ends the upload,
// keeping what the data file holds for a resume, and is answered with OP_UP_LOAD_ERROR
// (code 0xFFFF) for the upload's number. So is a data or end message whose data file was
// removed or moved away meanwhile. An announcement of the same target and digest from
// another origin takes an upload over: the older upload ends, its device gets that reply
// at once on its own transport, and the new one resumes from its data file. The reply
// for a relayed upload, whose messages come by polling, goes out on the relay.
//
// Files kept next to the target while an upload is unfinished:
//   data file  T + "tirvan.rename", or a free variant T + "tirvan.rename.(n).rename"
//   info file  the data file's name + "tmp": T NUL-padded to 255 bytes, the digest as 32
//              lowercase hexadecimal characters and a NUL (288 bytes)
// An announcement of the same target and digest appends to the data file whose info
// names them, from its current length.
//
// Where messages come from: an announcement on a local connection, a UDT socket or the
// relay connection (direct flag 0, record behind the 72-byte relay prefix) makes an
// entry of that origin. Its data and end messages count only when they come from the
// same origin; for a relayed upload that is the relayed-upload poller, which hands every
// fetched message to Dispatch (or straight to UpLoadFile / OverUpLoadFile) with no
// connection, UDT socket -1 and direct flag 1. Data and end messages on the relay
// connection itself are ignored.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "comm/dispatch.h"

inline constexpr uint32_t kUpLoadRequestSize = 380;
inline constexpr uint32_t kUpLoadAllowSize = 12;
// MsgHead and the 12 unread bytes in front of an upload message's data.
inline constexpr uint32_t kUpLoadDataHeadSize = 20;
inline constexpr uint32_t kRenameInfoSize = 288;
inline constexpr size_t kRenameInfoNameSize = 255;
// The longest target path (after conversion and expansion).
inline constexpr size_t kMaxUpLoadPathLen = 254;
inline constexpr const char* kUpLoadDataSuffix = "tirvan.rename";
inline constexpr const char* kUpLoadInfoSuffix = "tirvan.renametmp";

int ReqUpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                  uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int UpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
               uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int OverUpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                   uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);

struct TransOrigin;
// Ends the upload of this number that messages from origin feed (a polled message's
// origin, TransOrigin{}, stands for the relayed uploads), closing its data file and
// keeping its files for a resume. For a transport that lost or cut one of the upload's
// data messages: the data after a gap must not be appended. False when there is none.
bool AbortUpLoad(uint32_t seq, const TransOrigin& origin);

// Data file n of a target: T + "tirvan.rename" for n < 0, else its free variant
// T + "tirvan.rename.(n).rename".
std::string UpLoadDataPath(const std::string& target, int n);
// The info file of a data file: its name + "tmp".
std::string UpLoadInfoPath(const std::string& dataPath);
// Final name n of a target: T itself for n < 0, else T + ".(n)." + E, E being the text
// after the last "." of T's last component (T + ".(n)" when that holds no ".").
std::string UpLoadFinalCandidate(const std::string& target, int n);

// Writes the info record of target and digest text (32 hexadecimal characters) to
// infoPath, replacing what is there (a symlink there is not followed). 0, or -1.
int WriteRenameInfo(const std::string& infoPath, const std::string& target,
                    const std::string& hexDigest);
// True when infoPath is a regular file of at least 288 bytes whose name field is target
// and whose digest field is hexDigest.
bool CheckRenameInfo(const std::string& infoPath, const std::string& target,
                     const std::string& hexDigest);
// Moves the data file to the first free final name of target (never replacing a file)
// and sets finalName. 0, or -1 when the rename fails (the data file stays).
int GetUpLoadFinalName(const std::string& dataPath, const std::string& target,
                       std::string& finalName);

// Test hooks; null restores the default.
// Free space of the folder's volume in KiB (64-bit statvfs): 0, or -1 when unreadable.
using UpLoadFreeKBFn = int (*)(const std::string& folder, uint64_t* kb);
// An upload looks whether its data file was removed once this many bytes have been
// written since it last looked (1 MiB unless set; 0 looks after every message), so that
// a large upload pays one look per megabyte rather than one per message. The end
// message always looks.
inline constexpr const char* kUpLoadCheckBytesEnv = "TIRVAN_UPLOAD_CHECK_BYTES";
inline constexpr int64_t kDefaultUpLoadCheckBytes = 1 << 20;
void SetUpLoadCheckBytes(int64_t bytes);
// Reads kUpLoadCheckBytesEnv.
void UpLoadInit();

void SetUpLoadFreeSpaceForTest(UpLoadFreeKBFn fn);
// The no-replace rename that moves a complete data file to its final name.
using UpLoadRenameFn = int (*)(const std::string& from, const std::string& to);
void SetUpLoadRenameForTest(UpLoadRenameFn fn);
// The open(2) of the data file.
using UpLoadOpenFn = int (*)(const char* path, int flags, mode_t mode);
void SetUpLoadOpenForTest(UpLoadOpenFn fn);
