#include "comm/dispatch.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "comm/errors.h"
#include "comm/log.h"

namespace {

// Registration runs on the start-up thread while transports already dispatch.
std::shared_mutex& RegistryLock() {
  static std::shared_mutex m;
  return m;
}

std::map<uint16_t, RegFun>& Registry() {
  static std::map<uint16_t, RegFun> m;
  return m;
}

RegFun Lookup(uint16_t opcode) {
  std::shared_lock lock(RegistryLock());
  auto it = Registry().find(opcode);
  return it == Registry().end() ? nullptr : it->second;
}

}  // namespace

int OS_RegFunction(RegFun handler, uint16_t opcode) {
  if (handler == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, " regFun is NULL.");
    return ERR_REG_FUNCTION;
  }
  std::unique_lock lock(RegistryLock());
  if (!Registry().emplace(opcode, handler).second) {
    lock.unlock();
    TLOG(MOD_COMMLIB, LOG_ERROR, "Opcode(%d) already registered.", opcode);
    return ERR_REG_FUNCTION;
  }
  return ERR_OK;
}

bool IsTrayOpcode(uint16_t opcode) { return opcode >= 0x5000 && opcode <= 0x500F; }

bool OS_IsServed(uint16_t opcode, Origin origin) {
  if (IsTrayOpcode(opcode) && origin != Origin::Loopback) return false;
  return Lookup(opcode) != nullptr;
}

int Dispatch(const MsgHead* head, const uint8_t* body, uint32_t bodyLen, bufferevent* conn,
             uint8_t** reply, int32_t* replyLen, int32_t udtSock, uint8_t direct, Origin origin) {
  RegFun handler = nullptr;
  if (!IsTrayOpcode(head->opcode) || origin == Origin::Loopback) handler = Lookup(head->opcode);
  if (handler == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Type(%d) not registe.", head->opcode);
    return ERR_TYPE_NOT_REG;
  }
  if (body == nullptr) bodyLen = 0;
  try {
    return handler(body, bodyLen, head, conn, reply, replyLen, &udtSock, &direct);
  } catch (...) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Do request exception.");
    return ERR_DO_REQUEST;
  }
}

uint8_t* AllocReply(size_t len) { return static_cast<uint8_t*>(std::calloc(len == 0 ? 1 : len, 1)); }

void FreeReply(uint8_t* reply) { std::free(reply); }

void OS_ClearRegistry() {
  std::unique_lock lock(RegistryLock());
  Registry().clear();
}
