// The tray program's client of the background service. Each operation becomes one
// request of the service's local protocol on 127.0.0.1 (CSocketCore); each reply becomes
// a result or calls of IUIDataCallBack. The client also holds the device-login questions
// the service pushes until the user answers them, and reports every second whether the
// PC has a network.
//
// A reply is used only when its opcode is the request's and its length is exactly what
// that opcode's record needs; otherwise an operation gives its neutral result. Text
// fields are read up to their first zero byte and never past their field.
//
// Threads: every IUIData operation is meant for the GUI thread. The requests go to the
// service on loopback, which answers at once (a device login it puts to the user is
// waited for off its request thread), so a call returns in milliseconds; only a hung
// service makes one wait, for at most its 500 ms send and 1 s receive time-outs, each
// counted once per request. The system type is asked for on a thread of its own. LogOn,
// the one request that waits on the central server, goes through the transport's sender
// thread and returns at once; answers to device-login questions never wait.
// OnDeviceLoginRequest comes on a connection thread of the transport and the network
// calls on the watcher thread: the callback hands them to its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contract/opcodes.h"
#include "contract/tray_records.h"
#include "crypt_password.h"
#include "login_info.h"
#include "socket_core.h"

namespace tray {

// Opcodes of the service's local protocol (requests of the tray program).
using ::OP_SHOW_GET_LOG_ON_INFO;
using ::OP_SHOW_LOG_ON_STATUES;
using ::OP_SHOW_LOG_ON;
using ::OP_SHOW_GET_DEF_SHARE;
using ::OP_SHOW_SET_DEF_SHARE;
using ::OP_SHOW_GET_SHARE;
using ::OP_SHOW_SET_SHARE;
using ::OP_SHOW_GET_PATH;
using ::OP_SHOW_GET_TRANS_LOG;
using ::OP_SHOW_GET_IS_TRANING;
using ::OP_SHOW_GET_IS_MOBILE_LINKED;
using ::OP_SHOW_GET_SYS_TYPE;
using ::OP_SHOW_DEVICE_LOGIN;
using ::OP_SHOW_LOG_OUT;

inline constexpr size_t kFolderField = kFolderFieldSize;

// A device asks to log in with an account other than the PC's.
struct DeviceLoginInfo {
  char sender[64];   // the device's name, NUL-terminated
  char network[64];  // the network text the device sent, NUL-terminated
  uint32_t id;       // the question's token: give it back to ReplyDeviceLogin
  uint32_t spare;    // 0 (the settings dialog counts the question's age in it)
};

// The user's verdict on a DeviceLoginInfo.
struct ConnectResult {
  uint32_t id;
  uint8_t accepted;  // 1 admit, 0 refuse
};

// One row of the transfer log, numbers in host order.
struct TransLogRecord {
  uint16_t type;  // 0 upload, 1 download
  uint16_t status;
  uint32_t size;
  char time[kTransTimeSize];  // NUL-terminated
  char file[kFolderField];  // NUL-terminated
  uint16_t spare;
};
static_assert(sizeof(TransLogRecord) == kTransLogRecordSize);

// The service's default folders, as GetDefShare reads and SetDefShare sends them.
struct DefaultFolders {
  std::string root, picture, music, video, document;
};

// Login states of GetLogOnStatus.
enum : int {
  kLogOnUnknown = 0,   // no usable reply
  kLoggedOn = 1,
  kNoAccount = 2,
  kWrongAccount = 4,
  kCentralUnreachable = 5,
  kBadChars = 7,
  kLogOnOther = 0xFFFF,
};

// Mobile states of GetMobileState.
enum : int {
  kMobileUnknown = 0,
  kMobileNoDevice = 1,
  kMobileIdle = 2,
  kMobileUploading = 3,
  kMobileDownloading = 4,
};

// GetDefShare's results. Only a valid reply with an empty folder means "no data folder".
enum : int {
  kDefShareNoReply = -1,
  kDefShareEmpty = 0,
  kDefShareSet = 1,
};

class IUIDataCallBack {
 public:
  virtual ~IUIDataCallBack() = default;
  virtual void OnShareFolder(const std::string& path) = 0;
  virtual void OnTransLog(const TransLogRecord& record) = 0;
  virtual void OnPathItem(const std::string& path) = 0;
  // On a transport thread; the record lives during the call only.
  virtual void OnDeviceLoginRequest(const DeviceLoginInfo* info) = 0;
  // On the watcher thread, every interval.
  virtual void OnNetworkDown() = 0;
  virtual void OnNetworkUp() = 0;
};

class IUIData {
 public:
  virtual int AddRef() = 0;
  virtual int Release() = 0;
  virtual void SetCallback(IUIDataCallBack* callback) = 0;
  virtual void ClearCallback() = 0;
  // Queues the logon. With hash set the password is hashed first and the hash replaces
  // it in login. 0 queued; -1 when the hash cannot be made (the password is then empty
  // and nothing is sent) or the request cannot be queued.
  virtual int LogOn(LoginInfo* login, int hash) = 0;
  virtual int LogOut() = 0;
  // 0; login is filled only from a usable reply.
  virtual int GetLogOnInfo(LoginInfo* login) = 0;
  // kDefShareSet, kDefShareEmpty or kDefShareNoReply; root gets the default folder.
  virtual int GetDefShare(std::string* root) = 0;
  // 0 sent and answered; -1 refused (a folder over 259 bytes or not UTF-8) or failed.
  virtual int SetDefShare(const DefaultFolders& folders) = 0;
  // 0 with a usable reply (OnShareFolder per path), -1 without one.
  virtual int GetShare() = 0;
  // 0 sent; -1 without a usable GetShare before it, for a list over the frame's limit,
  // or when the service did not answer.
  virtual int SetShare(const std::vector<std::string>* added,
                       const std::vector<std::string>* removed) = 0;
  virtual int GetLogOnStatus() = 0;
  virtual int GetMobileState() = 0;
  virtual int SetHost(const std::string& host) = 0;
  virtual int GetTransLog() = 0;
  virtual int GetPath(const std::string& folder) = 0;
  virtual int GetSysType() = 0;
  // 0 answered; -1 for a question not held (answered already, expired or never seen).
  virtual int ReplyDeviceLogin(const ConnectResult* result) = 0;

 protected:
  virtual ~IUIData() = default;
};

struct UIDataOptions {
  SocketCoreOptions transport;
  std::string host = "127.0.0.1";
  int networkIntervalMs = 1000;
  std::function<bool()> networkProbe;  // IsNetworkAlive when empty
  PasswordHasher hasher;               // CryptPassword when empty
  bool startListener = true;

  // The ports from the environment: TIRVAN_SERVICE_PORT (the service's local port) and
  // TIRVAN_TRAY_LOGIN_PORT (the listener, the same variable the service reads). A value
  // that is not a port 1..65535 keeps the default.
  static UIDataOptions FromEnvironment();
};

class CUIData final : public IUIData, public ISocketConnectCallback {
 public:
  explicit CUIData(UIDataOptions options = {});
  ~CUIData() override;

  int AddRef() override;
  int Release() override;
  void SetCallback(IUIDataCallBack* callback) override;
  void ClearCallback() override;
  int LogOn(LoginInfo* login, int hash) override;
  int LogOut() override;
  int GetLogOnInfo(LoginInfo* login) override;
  int GetDefShare(std::string* root) override;
  int SetDefShare(const DefaultFolders& folders) override;
  int GetShare() override;
  int SetShare(const std::vector<std::string>* added,
               const std::vector<std::string>* removed) override;
  int GetLogOnStatus() override;
  int GetMobileState() override;
  int SetHost(const std::string& host) override;
  void SetServicePort(uint16_t port) { m_transport.SetRequestPort(port); }
  int GetTransLog() override;
  int GetPath(const std::string& folder) override;
  int GetSysType() override;
  int ReplyDeviceLogin(const ConnectResult* result) override;

  // Paths of the service are always written with "/".
  static const char* PathSeparator() { return "/"; }
  const std::vector<std::string>& ShareList() const { return m_shares; }
  const DefaultFolders& Folders() const { return m_folders; }
  uint32_t LastLogOnCode() const { return m_lastLogOnCode; }
  uint16_t ListenPort() const { return m_transport.ListenPort(); }
  CSocketCore& Transport() { return m_transport; }

  // ISocketConnectCallback
  bool OnData(const uint8_t* frame, size_t len, uint32_t token) override;
  void OnError(int code, int kind) override;

 private:
  // The reply to a request with this opcode, when it came whole with that opcode; rc is
  // SendRequest's result.
  bool Request(uint16_t opcode, const std::vector<uint8_t>& request,
               std::vector<uint8_t>* reply, int* rc = nullptr);
  bool Request(uint16_t opcode, std::vector<uint8_t>* reply, int* rc = nullptr);
  void QuerySysType(const std::string& host);  // on m_sysTypeQuery
  void WatchNetwork();
  IUIDataCallBack* Callback();

  UIDataOptions m_options;
  int m_refs = 0;
  std::mutex m_callbackMutex;
  IUIDataCallBack* m_callback = nullptr;  // m_callbackMutex, for the transport's threads
  LoginInfo m_kept{};
  std::vector<std::string> m_shares;
  bool m_sharesValid = false;
  DefaultFolders m_folders;
  uint32_t m_lastLogOnCode = 0;
  std::string m_host;
  int m_sysType = 2;
  CSocketCore m_transport;

  std::mutex m_watchMutex;
  std::condition_variable m_watchCv;
  std::atomic<bool> m_watchStop{false};
  std::thread m_watcher;
  std::thread m_sysTypeQuery;  // sets m_sysType; joined before it is read
};

// The one client of the process, shared by the settings dialog and the first-run wizard.
extern CUIData* g_pUIData;
// The shared client with one more reference, made with options when there is none yet.
IUIData* AcquireUIData(const UIDataOptions& options = UIDataOptions::FromEnvironment());

}  // namespace tray
