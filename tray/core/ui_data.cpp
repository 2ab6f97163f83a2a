#include "ui_data.h"

#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "network_probe.h"
#include "text_convert.h"

namespace tray {

CUIData* g_pUIData = nullptr;

namespace {

constexpr size_t kAccountReplySize = kAccountInfoReplySize;
constexpr size_t kResultReplySize = kShowResultReplySize;
constexpr size_t kQuestionSize = kDeviceLoginAskSize;
constexpr size_t kMaxPathBytes = kFolderField - 1;

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t GetU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// A request: the head {8 + payload, opcode, 0} and the payload.
std::vector<uint8_t> Frame(uint16_t opcode, const void* payload = nullptr, size_t len = 0) {
  std::vector<uint8_t> f(kMsgHeadSize + len, 0);
  PutU16(f.data(), static_cast<uint16_t>(f.size()));
  PutU16(f.data() + 2, opcode);
  if (len > 0) std::memcpy(f.data() + kMsgHeadSize, payload, len);
  return f;
}

// A text field: up to its first zero byte, never past the field.
std::string FieldText(const uint8_t* field, size_t n) {
  const char* p = reinterpret_cast<const char*>(field);
  return std::string(p, strnlen(p, n));
}

// Copies text into a NUL-terminated field of n bytes, cut at a character boundary.
void PutField(char* out, size_t n, const std::string& text) {
  size_t len = std::min(text.size(), n - 1);
  while (len > 0 && len < text.size() && (static_cast<unsigned char>(text[len]) & 0xC0) == 0x80) {
    --len;
  }
  std::memset(out, 0, n);
  std::memcpy(out, text.data(), len);
}

// A wire text in the program's own encoding; nothing when it does not convert.
std::optional<std::string> FromWire(const std::string& utf8) {
  std::optional<std::string> text = Utf8ToAnsi(utf8.c_str());
  // A conversion that dropped an invalid sequence would name some other file.
  if (text && text->size() != utf8.size()) return std::nullopt;
  return text;
}

// The lines of a path list ("path\r\n" each). A line that is too long or does not
// convert is left out and *lost set. A last line without its CR LF counts as a line.
std::vector<std::string> PathLines(const uint8_t* text, size_t len, bool* lost) {
  std::vector<std::string> lines;
  std::string all(reinterpret_cast<const char*>(text), len);
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find("\r\n", pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    pos = end + 2;
    if (line.empty()) continue;
    std::optional<std::string> path;
    if (line.size() <= kMaxPathBytes && line.find('\0') == std::string::npos) {
      path = FromWire(line);
    }
    if (!path) {
      qWarning("service client: a path of %zu bytes from the service cannot be used; left out",
               line.size());
      *lost = true;
      continue;
    }
    lines.push_back(*path);
  }
  return lines;
}

bool ParsePort(const char* text, uint16_t* port) {
  if (text == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 65535) return false;
  *port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

UIDataOptions UIDataOptions::FromEnvironment() {
  UIDataOptions o;
  ParsePort(std::getenv("TIRVAN_SERVICE_PORT"), &o.transport.requestPort);
  ParsePort(std::getenv("TIRVAN_TRAY_LOGIN_PORT"), &o.transport.listenPort);
  return o;
}

IUIData* AcquireUIData(const UIDataOptions& options) {
  if (g_pUIData == nullptr) g_pUIData = new CUIData(options);
  g_pUIData->AddRef();
  return g_pUIData;
}

CUIData::CUIData(UIDataOptions options)
    : m_options(std::move(options)), m_host(m_options.host), m_transport(m_options.transport) {
  if (!m_options.hasher) m_options.hasher = CryptPassword;
  if (!m_options.networkProbe) m_options.networkProbe = IsNetworkAlive;
  m_transport.SetCallback(this);
  if (m_options.startListener) m_transport.StartListener();
  m_watcher = std::thread([this] { WatchNetwork(); });
  // The system type is asked for off the caller's thread: a service that answers slowly
  // holds neither the program's start nor its listener. GetSysType waits for the answer.
  m_sysTypeQuery = std::thread([this, host = m_host] { QuerySysType(host); });
}

CUIData::~CUIData() {
  if (m_sysTypeQuery.joinable()) m_sysTypeQuery.join();
  // No pushed question reaches this client from here on.
  m_transport.ClearCallback();
  {
    std::lock_guard<std::mutex> lock(m_watchMutex);
    m_watchStop = true;
  }
  m_watchCv.notify_all();
  if (m_watcher.joinable()) m_watcher.join();
  if (g_pUIData == this) g_pUIData = nullptr;
}

int CUIData::AddRef() { return ++m_refs; }

int CUIData::Release() {
  if (--m_refs > 0) return m_refs;
  m_refs = 0;
  delete this;
  return 0;
}

void CUIData::SetCallback(IUIDataCallBack* callback) {
  std::lock_guard<std::mutex> lock(m_callbackMutex);
  m_callback = callback;
}

void CUIData::ClearCallback() { SetCallback(nullptr); }

IUIDataCallBack* CUIData::Callback() {
  std::lock_guard<std::mutex> lock(m_callbackMutex);
  return m_callback;
}

bool CUIData::Request(uint16_t opcode, const std::vector<uint8_t>& request,
                      std::vector<uint8_t>* reply, int* rc) {
  int r = m_transport.SendRequest(m_host.c_str(), request.data(), request.size(), reply);
  if (rc != nullptr) *rc = r;
  if (r != kSendOk) return false;
  if (reply->size() < kMsgHeadSize || GetU16(reply->data() + 2) != opcode) {
    qWarning("service client: reply to %04x came with opcode %04x; dropped", opcode,
             reply->size() >= kMsgHeadSize ? GetU16(reply->data() + 2) : 0);
    return false;
  }
  return true;
}

bool CUIData::Request(uint16_t opcode, std::vector<uint8_t>* reply, int* rc) {
  return Request(opcode, Frame(opcode), reply, rc);
}

// ---- Account and logon.

int CUIData::LogOn(LoginInfo* login, int hash) {
  if (login == nullptr) return -1;
  uint8_t account[64] = {};
  std::memcpy(account, login->account, strnlen(login->account, sizeof login->account));
  if (hash != 0) {
    std::string typed(login->password, strnlen(login->password, sizeof login->password));
    std::optional<std::string> hashed = m_options.hasher(typed);
    if (!hashed || hashed->empty() || hashed->size() >= sizeof login->password) {
      qWarning("service client: the password could not be hashed; no logon sent");
      std::memset(login->password, 0, sizeof login->password);
      return -1;
    }
    PutField(login->password, sizeof login->password, *hashed);
  }
  std::memcpy(account + 32, login->password, strnlen(login->password, sizeof login->password));
  std::vector<uint8_t> f = Frame(OP_SHOW_LOG_ON, account, sizeof account);
  return m_transport.PostRequest(m_host.c_str(), f.data(), f.size()) == 0 ? 0 : -1;
}

int CUIData::LogOut() {
  std::vector<uint8_t> reply;
  Request(OP_SHOW_LOG_OUT, &reply);
  return 0;
}

int CUIData::GetLogOnInfo(LoginInfo* login) {
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_GET_LOG_ON_INFO, &reply) || reply.size() != kAccountReplySize) return 0;
  PutField(m_kept.account, sizeof m_kept.account, FieldText(reply.data() + 8, 32));
  PutField(m_kept.password, sizeof m_kept.password, FieldText(reply.data() + 40, 32));
  if (login != nullptr) {
    std::memcpy(login->account, m_kept.account, sizeof login->account);
    std::memcpy(login->password, m_kept.password, sizeof login->password);
  }
  return 0;
}

int CUIData::GetLogOnStatus() {
  std::vector<uint8_t> reply;
  int rc = kSendOk;
  if (!Request(OP_SHOW_LOG_ON_STATUES, &reply, &rc)) {
    return rc == kNoConnection || rc == kNoReplyHead ? rc : kLogOnUnknown;
  }
  if (reply.size() != kResultReplySize) return kLogOnUnknown;
  m_lastLogOnCode = GetU32(reply.data() + 8);
  switch (m_lastLogOnCode) {
    case 0:
      return kLoggedOn;
    case 0x1000:
    case 0x1001:
      return kWrongAccount;
    case 0x101A:
      return kCentralUnreachable;
    case 0x101F:
      return kNoAccount;
    case 0x1024:
      return kBadChars;
    default:
      return kLogOnOther;
  }
}

int CUIData::GetMobileState() {
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_GET_IS_MOBILE_LINKED, &reply) || reply.size() != kResultReplySize) {
    return kMobileUnknown;
  }
  if (GetU32(reply.data() + 8) != 0) return kMobileNoDevice;
  if (!Request(OP_SHOW_GET_IS_TRANING, &reply) || reply.size() != kResultReplySize) {
    return kMobileUnknown;
  }
  if (GetU16(reply.data() + 8) != 0) return kMobileUploading;
  if (GetU16(reply.data() + 10) != 0) return kMobileDownloading;
  return kMobileIdle;
}

// ---- Folders and shares.

int CUIData::GetDefShare(std::string* root) {
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_GET_DEF_SHARE, &reply) ||
      reply.size() != kMsgHeadSize + kDefShareRecordSize) {
    return kDefShareNoReply;
  }
  std::string* fields[] = {&m_folders.root, &m_folders.picture, &m_folders.music,
                           &m_folders.video, &m_folders.document};
  for (size_t i = 0; i < 5; ++i) {
    std::optional<std::string> text =
        FromWire(FieldText(reply.data() + kMsgHeadSize + i * kFolderField, kFolderField));
    if (!text) {
      qWarning("service client: a default folder from the service does not convert");
      return kDefShareNoReply;
    }
    *fields[i] = *text;
  }
  if (root != nullptr) *root = m_folders.root;
  return m_folders.root.empty() ? kDefShareEmpty : kDefShareSet;
}

int CUIData::SetDefShare(const DefaultFolders& folders) {
  uint8_t record[kDefShareRecordSize] = {};
  const std::string* fields[] = {&folders.root, &folders.picture, &folders.music,
                                 &folders.video, &folders.document};
  for (size_t i = 0; i < 5; ++i) {
    std::optional<std::string> utf8 = Utf8ToAnsi(fields[i]->c_str());
    if (!utf8 || utf8->size() > kMaxPathBytes || utf8->size() != fields[i]->size()) {
      qWarning("service client: default folder %s cannot be sent whole; nothing sent",
               fields[i]->c_str());
      return -1;
    }
    std::memcpy(record + i * kFolderField, utf8->data(), utf8->size());
  }
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_SET_DEF_SHARE, Frame(OP_SHOW_SET_DEF_SHARE, record, sizeof record),
               &reply)) {
    return -1;
  }
  m_folders = folders;
  return 0;
}

int CUIData::GetShare() {
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_GET_SHARE, &reply)) {
    // The list may no longer be the service's: no SetShare until a good GetShare.
    m_sharesValid = false;
    return -1;
  }
  bool lost = false;
  m_shares = PathLines(reply.data() + kMsgHeadSize, reply.size() - kMsgHeadSize, &lost);
  // Sending a list with a path left out would remove that share at the service.
  m_sharesValid = !lost;
  if (IUIDataCallBack* cb = Callback()) {
    for (const std::string& p : m_shares) cb->OnShareFolder(p);
  }
  return 0;
}

int CUIData::SetShare(const std::vector<std::string>* added,
                      const std::vector<std::string>* removed) {
  if (!m_sharesValid) {
    qWarning("service client: share list not read from the service; not sent");
    return -1;
  }
  std::vector<std::string> list = m_shares;
  if (added != nullptr) {
    for (const std::string& p : *added) {
      if (std::find(list.begin(), list.end(), p) == list.end()) list.push_back(p);
    }
  }
  if (removed != nullptr) {
    for (const std::string& p : *removed) {
      auto it = std::find(list.begin(), list.end(), p);
      if (it != list.end()) list.erase(it);
    }
  }
  std::string text;
  for (const std::string& p : list) {
    std::optional<std::string> utf8 = Utf8ToAnsi(p.c_str());
    if (!utf8 || utf8->size() != p.size() || p.empty() || p.find('\r') != std::string::npos ||
        p.find('\n') != std::string::npos) {
      qWarning("service client: share %s cannot be sent; list not sent", p.c_str());
      return -1;
    }
    text += p;
    text += "\r\n";
  }
  if (kMsgHeadSize + text.size() > kMaxFrameSize) {
    qWarning("service client: share list of %zu bytes is over the frame's limit; not sent",
             text.size());
    return -1;
  }
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_SET_SHARE, Frame(OP_SHOW_SET_SHARE, text.data(), text.size()), &reply)) {
    m_sharesValid = false;
    return -1;
  }
  m_shares = std::move(list);
  return 0;
}

int CUIData::GetPath(const std::string& folder) {
  std::vector<uint8_t> request;
  if (folder.empty()) {
    request = Frame(OP_SHOW_GET_PATH);
  } else {
    std::optional<std::string> utf8 = Utf8ToAnsi(folder.c_str());
    if (!utf8 || utf8->size() > kMaxPathBytes) return -1;
    request = Frame(OP_SHOW_GET_PATH, utf8->data(), utf8->size());
  }
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_GET_PATH, request, &reply)) return -1;
  bool lost = false;
  std::vector<std::string> lines =
      PathLines(reply.data() + kMsgHeadSize, reply.size() - kMsgHeadSize, &lost);
  if (IUIDataCallBack* cb = Callback()) {
    for (const std::string& p : lines) cb->OnPathItem(p);
  }
  return 0;
}

// ---- Transfers, status, system type.

int CUIData::GetTransLog() {
  std::vector<uint8_t> reply;
  if (!Request(OP_SHOW_GET_TRANS_LOG, &reply) ||
      (reply.size() - kMsgHeadSize) % kTransLogRecordSize != 0) {
    return -1;
  }
  const size_t count = (reply.size() - kMsgHeadSize) / kTransLogRecordSize;
  IUIDataCallBack* cb = Callback();
  for (size_t i = 0; i < count && cb != nullptr; ++i) {
    const uint8_t* p = reply.data() + kMsgHeadSize + i * kTransLogRecordSize;
    TransLogRecord r{};
    r.type = GetU16(p);
    r.status = GetU16(p + 2);
    r.size = GetU32(p + 4);
    PutField(r.time, sizeof r.time, FieldText(p + 8, sizeof r.time));
    std::optional<std::string> file = FromWire(FieldText(p + 38, kFolderField));
    if (!file || file->size() > kMaxPathBytes) {
      qWarning("service client: a transfer-log file name does not convert; row left out");
      continue;
    }
    PutField(r.file, sizeof r.file, *file);
    cb->OnTransLog(r);
  }
  return 0;
}

void CUIData::QuerySysType(const std::string& host) {
  const std::vector<uint8_t> request = Frame(OP_SHOW_GET_SYS_TYPE);
  std::vector<uint8_t> reply;
  int rc = m_transport.SendRequest(host.c_str(), request.data(), request.size(), &reply);
  if (rc == kSendOk && reply.size() == kResultReplySize &&
      GetU16(reply.data() + 2) == OP_SHOW_GET_SYS_TYPE) {
    m_sysType = static_cast<int>(GetU32(reply.data() + 8));
  } else if (rc != kNoConnection) {
    qWarning("service client: no usable answer to the system type (%d); 2 is kept", rc);
  }
}

int CUIData::GetSysType() {
  if (m_sysTypeQuery.joinable()) m_sysTypeQuery.join();
  return m_sysType;
}

int CUIData::SetHost(const std::string& host) {
  m_host = host;
  return 0;
}

// ---- Device-login questions.

int CUIData::ReplyDeviceLogin(const ConnectResult* result) {
  if (result == nullptr) return -1;
  return m_transport.SendPushReply(result->id, result->accepted != 0 ? 0 : 1);
}

bool CUIData::OnData(const uint8_t* frame, size_t len, uint32_t token) {
  // Only pushed questions are of interest: the queued logon's reply is not.
  if (token == 0 || len != kQuestionSize || GetU16(frame) != kQuestionSize ||
      GetU16(frame + 2) != OP_SHOW_DEVICE_LOGIN) {
    return false;
  }
  std::lock_guard<std::mutex> lock(m_callbackMutex);
  if (m_callback == nullptr) return false;
  DeviceLoginInfo info{};
  std::optional<std::string> sender = FromWire(FieldText(frame + 72, 64));
  PutField(info.sender, sizeof info.sender, sender.value_or(""));
  PutField(info.network, sizeof info.network, FieldText(frame + 136, 64));
  info.id = token;
  m_callback->OnDeviceLoginRequest(&info);
  return true;
}

void CUIData::OnError(int, int) {}

void CUIData::WatchNetwork() {
  std::unique_lock<std::mutex> lock(m_watchMutex);
  while (!m_watchStop) {
    m_watchCv.wait_for(lock, std::chrono::milliseconds(m_options.networkIntervalMs),
                       [this] { return m_watchStop.load(); });
    if (m_watchStop) break;
    lock.unlock();
    const bool alive = m_options.networkProbe();
    {
      std::lock_guard<std::mutex> cbLock(m_callbackMutex);
      if (m_callback != nullptr) {
        if (alive) {
          m_callback->OnNetworkUp();
        } else {
          m_callback->OnNetworkDown();
        }
      }
    }
    lock.lock();
  }
}

}  // namespace tray
