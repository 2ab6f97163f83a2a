// The opcode registry: each transport hands every complete MsgHead message to
// Dispatch, which calls the handler registered for its opcode. The handler
// allocates its reply (AllocReply); the transport sends it and frees it (FreeReply).
#pragma once

#include <cstddef>
#include <cstdint>

#include "comm/wire.h"

struct bufferevent;

// Where a message came from. Tray opcodes are served only from Loopback.
enum class Origin : uint8_t {
  Loopback,  // local TCP connection from 127.0.0.0/8
  Lan,       // local TCP connection from any other address
  Relay,     // the relay connection through the central server (direct flag 0)
  Udt,       // a P2P peer over UDT
  Poll,      // a relayed upload fetched by polling the central server
};

// The one shape of every handler. body holds bodyLen bytes (null when 0); no
// handler reads past bodyLen. udtSock and direct point to Dispatch's own copies.
using RegFun = int (*)(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                       bufferevent* conn, uint8_t** reply, int32_t* replyLen, int32_t* udtSock,
                       uint8_t* direct);

// Registers handler for opcode: 0, or ERR_REG_FUNCTION for a null handler or an
// opcode that already has one (the first stays).
int OS_RegFunction(RegFun handler, uint16_t opcode);

// True for the tray program's opcodes (0x5000 to 0x500F; 0x500D is only ever sent by
// the service, so it is never registered).
bool IsTrayOpcode(uint16_t opcode);

// True when a message with this opcode from this origin has a handler that may
// serve it. Tray opcodes from anywhere but Loopback count as unregistered.
bool OS_IsServed(uint16_t opcode, Origin origin);

// Calls the handler. Returns its result, ERR_TYPE_NOT_REG when the opcode is not
// served from this origin, or ERR_DO_REQUEST when the handler threw.
int Dispatch(const MsgHead* head, const uint8_t* body, uint32_t bodyLen, bufferevent* conn,
             uint8_t** reply, int32_t* replyLen, int32_t udtSock, uint8_t direct, Origin origin);

// Reply buffers: zeroed, never throwing (null on failure), freed with FreeReply.
uint8_t* AllocReply(size_t len);
void FreeReply(uint8_t* reply);

// Test hook: forgets every registration.
void OS_ClearRegistry();
