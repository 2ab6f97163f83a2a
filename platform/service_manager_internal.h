// What the service-manager backends and the dispatcher share: the built-in manager's
// files, process liveness, and small text helpers. Not for use outside platform/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace platform::scm {

// Set by the built-in manager in the environment of the service it starts: the name of
// the service (the dispatcher's "started by the manager" mark) and the state directory.
constexpr const char* kServiceEnv = "TIRVAN_SCM_SERVICE";

// Files of the built-in state directory.
std::string RecordPath(const std::string& dir, const std::string& name);  // <name>.service
std::string StatusPath(const std::string& dir, const std::string& name);  // <name>.status
std::string LogPath(const std::string& dir, const std::string& name);     // <name>.log
std::string LockPath(const std::string& dir);                             // .lock

// An exclusive flock on the state directory's lock file, held for the object's life.
// Every change to a record or a status file is made under it.
class DirLock {
 public:
  explicit DirLock(const std::string& dir);
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

  bool held() const { return m_fd >= 0; }
  const std::string& error() const { return m_error; }
  int errnum() const { return m_errno; }

 private:
  int m_fd = -1;
  int m_errno = 0;
  std::string m_error;
};

// A status file as the running service (or the manager, at start) writes it.
struct StatusRecord {
  ServiceState state = ServiceState::kStopped;
  uint32_t checkPoint = 0;
  uint32_t waitHintMs = 0;
  uint32_t exitCode = 0;
  int pid = 0;
  uint64_t pidStart = 0;  // the process's start time (clock ticks after boot), 0 unknown
};

std::string FormatStatus(const StatusRecord& s);
// False with *error set for a text that is not a complete status.
bool ParseStatus(const std::string& text, StatusRecord* s, std::string* error);

// Reads a whole (small) file. False with errno set when it cannot be read.
bool ReadFile(const std::string& path, std::string* content);

// Writes content to path through a temporary file and a rename, so a reader sees the
// old or the new content, never a part. False with *error set.
bool WriteFileAtomic(const std::string& path, const std::string& content, unsigned mode,
                     std::string* error);

// Key=value lines; false for a line without '='.
bool ParseKeyValues(const std::string& text, std::vector<std::pair<std::string, std::string>>* kv);
bool ParseU32(const std::string& text, uint32_t* value);
bool ParseU64(const std::string& text, uint64_t* value);

bool ParseStateName(const std::string& text, ServiceState* state);

// The start time of process pid (field 22 of /proc/<pid>/stat), 0 when unknown.
uint64_t ProcessStartTime(int pid);

// True while process pid runs (not a zombie) and, when start is not 0, is the process
// that started at that time (a reused pid is not it).
bool ProcessAlive(int pid, uint64_t start);

// In a freshly forked child: default signal dispositions and an empty signal mask, so
// the program it executes starts as if anew (the parent may ignore SIGPIPE or block
// the stop signals). Async-signal-safe.
void ResetSignalsInChild();

// "what: strerror(err)".
std::string SysError(const std::string& what, int err);

// kAccessDenied for EACCES/EPERM/EROFS, else kSystem.
ScmError ErrorForErrno(int err);

// "service \"name\"".
std::string Quoted(const std::string& name);

}  // namespace platform::scm
