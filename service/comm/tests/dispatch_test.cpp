#include "comm/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/errors.h"
#include "comm/log.h"
#include "support/temp_dir.h"

namespace {

// What the last handler call saw.
struct Seen {
  int calls = 0;
  const uint8_t* body = nullptr;
  uint32_t bodyLen = 0;
  uint16_t opcode = 0;
  bufferevent* conn = nullptr;
  int32_t udtSock = 0;
  uint8_t direct = 0;
};
Seen g_seen;

void StoreReply(const MsgHead* head, uint8_t** reply, int32_t* replyLen) {
  *reply = AllocReply(MsgHead::kSize);
  MsgHead{MsgHead::kSize, head->opcode, head->seq}.Encode(*reply);
  *replyLen = static_cast<int32_t>(MsgHead::kSize);
}

int Recording(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
              uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  g_seen = Seen{g_seen.calls + 1, body, bodyLen, head->opcode, conn, *udtSock, *direct};
  // Writing through these must not reach the caller.
  *udtSock = 12345;
  *direct = 9;
  StoreReply(head, reply, replyLen);
  return 0;
}

int Other(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
          uint8_t*) {
  return 77;
}

int ThrowsAfterReply(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                     int32_t* replyLen, int32_t*, uint8_t*) {
  StoreReply(head, reply, replyLen);
  throw std::runtime_error("handler failed");
}

int ThrowsNonStd(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*,
                 int32_t*, uint8_t*) {
  throw 42;
}

int FailsWithReply(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                   int32_t* replyLen, int32_t*, uint8_t*) {
  StoreReply(head, reply, replyLen);
  return ERR_FILE_NOT_EXIST;
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OS_ClearRegistry();
    g_seen = Seen{};
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
  }
  void TearDown() override {
    g_Log.Close();
    OS_ClearRegistry();
  }
  std::string LogText() const { return m_dir.Read("Log.txt"); }

  // Dispatches a head-only message and returns the result; the reply is freed.
  int Call(uint16_t opcode, Origin origin, bool* replied = nullptr) {
    MsgHead head{MsgHead::kSize, opcode, 1};
    uint8_t* reply = nullptr;
    int32_t len = 0;
    int rc = Dispatch(&head, nullptr, 0, nullptr, &reply, &len, -1, 1, origin);
    if (replied != nullptr) *replied = reply != nullptr && len > 0;
    FreeReply(reply);
    return rc;
  }

  support::TempDir m_dir;
};

TEST_F(DispatchTest, NullHandlerIsRefusedAndAddsNothing) {
  EXPECT_EQ(OS_RegFunction(nullptr, 0x0004), ERR_REG_FUNCTION);
  EXPECT_NE(LogText().find("[ERROR]  regFun is NULL.\n"), std::string::npos) << LogText();
  EXPECT_FALSE(OS_IsServed(0x0004, Origin::Lan));
  EXPECT_EQ(Call(0x0004, Origin::Lan), ERR_TYPE_NOT_REG);
}

TEST_F(DispatchTest, SecondRegistrationIsRefusedAndTheFirstStays) {
  ASSERT_EQ(OS_RegFunction(Recording, 0x0004), ERR_OK);
  EXPECT_EQ(OS_RegFunction(Other, 0x0004), ERR_REG_FUNCTION);
  EXPECT_NE(LogText().find("[ERROR] Opcode(4) already registered.\n"), std::string::npos);
  EXPECT_EQ(Call(0x0004, Origin::Lan), 0);
  EXPECT_EQ(g_seen.calls, 1);
}

TEST_F(DispatchTest, UnregisteredOpcodeAnswersNothing) {
  MsgHead head{MsgHead::kSize, 7, 1};
  uint8_t* reply = nullptr;
  int32_t len = 0;
  EXPECT_EQ(Dispatch(&head, nullptr, 0, nullptr, &reply, &len, -1, 1, Origin::Lan),
            ERR_TYPE_NOT_REG);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_NE(LogText().find("[CommLib Dispatch "), std::string::npos);
  EXPECT_NE(LogText().find("[ERROR] Type(7) not registe.\n"), std::string::npos);
}

TEST_F(DispatchTest, HandlerGetsBodyWithItsLengthAndCopiesOfTheFlags) {
  ASSERT_EQ(OS_RegFunction(Recording, 0x0101), ERR_OK);
  const uint8_t body[5] = {1, 2, 3, 4, 5};
  auto* conn = reinterpret_cast<bufferevent*>(0x1000);
  MsgHead head{13, 0x0101, 9};
  uint8_t* reply = nullptr;
  int32_t len = 0;
  int32_t udt = 33;
  uint8_t direct = 0;
  EXPECT_EQ(Dispatch(&head, body, sizeof body, conn, &reply, &len, udt, direct, Origin::Relay), 0);
  EXPECT_EQ(g_seen.body, body);
  EXPECT_EQ(g_seen.bodyLen, 5u);
  EXPECT_EQ(g_seen.conn, conn);
  EXPECT_EQ(g_seen.udtSock, 33);
  EXPECT_EQ(g_seen.direct, 0);
  EXPECT_EQ(udt, 33);
  EXPECT_EQ(direct, 0);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(len, 8);
  EXPECT_EQ(MsgHead::Decode(reply).seq, 9u);
  FreeReply(reply);

  // No body means no length, whatever the caller claims.
  reply = nullptr;
  len = 0;
  EXPECT_EQ(Dispatch(&head, nullptr, 40, nullptr, &reply, &len, -1, 1, Origin::Lan), 0);
  EXPECT_EQ(g_seen.body, nullptr);
  EXPECT_EQ(g_seen.bodyLen, 0u);
  FreeReply(reply);
}

TEST_F(DispatchTest, ThrowingHandlerGives16AndKeepsItsReply) {
  ASSERT_EQ(OS_RegFunction(ThrowsAfterReply, 0x0004), ERR_OK);
  ASSERT_EQ(OS_RegFunction(ThrowsNonStd, 0x0005), ERR_OK);
  MsgHead head{MsgHead::kSize, 0x0004, 3};
  uint8_t* reply = nullptr;
  int32_t len = 0;
  EXPECT_EQ(Dispatch(&head, nullptr, 0, nullptr, &reply, &len, -1, 1, Origin::Lan),
            ERR_DO_REQUEST);
  ASSERT_NE(reply, nullptr);  // the transport still sends and frees it
  EXPECT_EQ(len, 8);
  FreeReply(reply);
  EXPECT_NE(LogText().find("[ERROR] Do request exception.\n"), std::string::npos);

  EXPECT_EQ(Call(0x0005, Origin::Lan), ERR_DO_REQUEST);
}

TEST_F(DispatchTest, ErrorResultWithAReplyKeepsTheReply) {
  ASSERT_EQ(OS_RegFunction(FailsWithReply, 0x0004), ERR_OK);
  bool replied = false;
  EXPECT_EQ(Call(0x0004, Origin::Lan, &replied), ERR_FILE_NOT_EXIST);
  EXPECT_TRUE(replied);
}

TEST_F(DispatchTest, TrayOpcodesAreServedOnlyFromLoopback) {
  std::vector<uint16_t> tray = {0x5000, 0x5001, 0x5002, 0x5003, 0x5004, 0x5005, 0x5006, 0x5007,
                                0x5008, 0x5009, 0x500A, 0x500B, 0x500C, 0x500E, 0x500F};
  std::vector<uint16_t> device = {0x0004, 0x4FFF, 0x5010, 0x8888};
  for (uint16_t op : tray) ASSERT_EQ(OS_RegFunction(Recording, op), ERR_OK);
  for (uint16_t op : device) ASSERT_EQ(OS_RegFunction(Recording, op), ERR_OK);

  const Origin others[] = {Origin::Lan, Origin::Relay, Origin::Udt, Origin::Poll};
  for (uint16_t op : tray) {
    SCOPED_TRACE(op);
    EXPECT_TRUE(OS_IsServed(op, Origin::Loopback));
    bool replied = false;
    EXPECT_EQ(Call(op, Origin::Loopback, &replied), 0);
    EXPECT_TRUE(replied);
    for (Origin o : others) {
      int before = g_seen.calls;
      EXPECT_FALSE(OS_IsServed(op, o));
      EXPECT_EQ(Call(op, o, &replied), ERR_TYPE_NOT_REG);
      EXPECT_FALSE(replied);
      EXPECT_EQ(g_seen.calls, before) << "handler ran";
    }
  }
  for (uint16_t op : device) {
    SCOPED_TRACE(op);
    for (Origin o : others) {
      EXPECT_TRUE(OS_IsServed(op, o));
      EXPECT_EQ(Call(op, o), 0);
    }
  }
}

TEST_F(DispatchTest, RegistrationWhileDispatching) {
  g_Log.Close();  // thousands of "not registe." lines are not the point here
  constexpr uint16_t kFirst = 0x0200;
  constexpr int kCount = 400;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        for (int i = 0; i < kCount; ++i) {
          int rc = Call(static_cast<uint16_t>(kFirst + i), Origin::Lan);
          if (rc != 77 && rc != ERR_TYPE_NOT_REG) bad.fetch_add(1);
        }
      }
    });
  }
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(OS_RegFunction(Other, static_cast<uint16_t>(kFirst + i)), ERR_OK);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(Call(static_cast<uint16_t>(kFirst + i), Origin::Lan), 77);
  }
}

TEST(ReplyBuffer, IsZeroedAndFreeAcceptsNull) {
  uint8_t* r = AllocReply(300);
  ASSERT_NE(r, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(r[i], 0);
  FreeReply(r);
  FreeReply(nullptr);
}

}  // namespace
