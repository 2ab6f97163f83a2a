#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "device/p2p_module.h"

namespace device {

namespace {

// The folder of the running program, with its trailing "/"; empty when unknown.
std::string ProgramFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string s(path, static_cast<size_t>(n));
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}

}  // namespace

std::unique_ptr<Transport> ConnectP2P(const P2PTarget& target, int timeoutMs,
                                      std::string* error) {
  static ConnectUdtEntry entry = nullptr;
  static std::string loadError;
  if (entry == nullptr && loadError.empty()) {
    std::string file = ProgramFolder() + kP2PModuleName;
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      loadError = "cannot load the peer-to-peer module " + file + ": " +
                  (why != nullptr ? why : "unknown error");
    } else {
      entry = reinterpret_cast<ConnectUdtEntry>(::dlsym(handle, kP2PModuleEntry));
      if (entry == nullptr) loadError = file + " has no " + kP2PModuleEntry;
    }
  }
  if (entry == nullptr) {
    if (error != nullptr) *error = loadError;
    return nullptr;
  }
  return std::unique_ptr<Transport>(entry(&target, timeoutMs, error));
}

}  // namespace device
