#include "device_login_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "logon_flow.h"

namespace {

using tray::DeviceLoginInfo;
using tray::DeviceLoginQueue;

DeviceLoginInfo Question(uint32_t id, const char* sender = "phone") {
  DeviceLoginInfo info{};
  std::strncpy(info.sender, sender, sizeof info.sender - 1);
  std::strncpy(info.network, "wlan", sizeof info.network - 1);
  info.id = id;
  info.spare = 77;  // whatever the sender left there, the age starts at 0
  return info;
}

struct Recorder {
  std::vector<std::pair<uint32_t, bool>> replies;
  std::vector<int> states;
  DeviceLoginQueue Make(tray::DeviceLoginQueueOptions options = {}) {
    return DeviceLoginQueue([this](uint32_t id, bool ok) { replies.emplace_back(id, ok); },
                            [this](int s) { states.push_back(s); }, options);
  }
};

// Steps of a scenario: 'a' adds id, 't' ticks n times, 'o' takes the oldest (id expected).
struct Step {
  char op;
  uint32_t arg;
};
struct Case {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::pair<uint32_t, bool>> replies;  // answers the queue sent itself
  std::vector<int> states;
  size_t left;
};

TEST(DeviceLoginQueueTest, Scenarios) {
  constexpr int kWait = tray::kMobileAwaitingApproval, kNone = tray::kMobileNoDevice;
  const std::vector<Case> cases = {
      {"refused at tick 25, not 24", {{'a', 1}, {'t', 24}}, {}, {kWait}, 1},
      {"refused exactly once at 25", {{'a', 1}, {'t', 25}, {'t', 10}}, {{1, false}}, {kWait, kNone}, 0},
      {"ages count from each question's arrival",
       {{'a', 1}, {'t', 10}, {'a', 2}, {'t', 15}, {'t', 9}, {'t', 1}},
       {{1, false}, {2, false}}, {kWait, kNone}, 0},
      {"FIFO", {{'a', 3}, {'a', 1}, {'a', 2}, {'o', 3}, {'o', 1}, {'o', 2}}, {}, {kWait, kNone}, 0},
      {"taken question is never refused by the timer", {{'a', 1}, {'o', 1}, {'t', 30}}, {}, {kWait, kNone}, 0},
      {"mobile state stays while questions wait", {{'a', 1}, {'a', 2}, {'o', 1}}, {}, {kWait}, 1},
      {"duplicate id answered as refused, once",
       {{'a', 1}, {'a', 2}, {'a', 1}, {'t', 30}}, {{1, false}, {2, false}}, {kWait, kNone}, 0},
      {"cap: the one over it is refused at once",
       {{'a', 1}, {'a', 2}, {'a', 3}, {'a', 4}, {'o', 1}, {'a', 5}}, {{4, false}}, {kWait}, 3},
      {"expired ones refused in queue order", {{'a', 9}, {'a', 4}, {'a', 7}, {'t', 25}},
       {{9, false}, {4, false}, {7, false}}, {kWait, kNone}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r;
    DeviceLoginQueue q = r.Make({.refuseAge = 25, .cap = 3});
    for (const Step& s : c.steps) {
      if (s.op == 'a') q.Add(Question(s.arg));
      if (s.op == 't') for (uint32_t i = 0; i < s.arg; ++i) q.Tick();
      if (s.op == 'o') {
        auto taken = q.TakeOldest();
        ASSERT_TRUE(taken);
        EXPECT_EQ(taken->id, s.arg);
      }
    }
    EXPECT_EQ(r.replies, c.replies);
    EXPECT_EQ(r.states, c.states);
    EXPECT_EQ(q.size(), c.left);
  }
}

TEST(DeviceLoginQueueTest, KeepsItsOwnTerminatedCopyWithAgeZero) {
  Recorder r;
  DeviceLoginQueue q = r.Make();
  DeviceLoginInfo info = Question(5);
  std::memset(info.sender, 'x', sizeof info.sender);  // no terminator from the wire
  EXPECT_EQ(q.Add(info), DeviceLoginQueue::Added::kQueued);
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q.Items()[0].spare, 0u);
  EXPECT_EQ(std::string(q.Items()[0].sender), std::string(63, 'x'));
  EXPECT_STREQ(q.Items()[0].network, "wlan");
  EXPECT_FALSE(q.TakeOldest() && q.TakeOldest());
}

TEST(DeviceLoginQueueTest, InboxKeepsEveryQuestionFromOtherThreads) {
  tray::DeviceLoginInbox inbox;
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) inbox.Put(Question(static_cast<uint32_t>(t * kEach + i + 1)));
    });
  }
  std::vector<DeviceLoginInfo> all;
  while (all.size() < static_cast<size_t>(kThreads * kEach)) {
    auto part = inbox.Drain();
    all.insert(all.end(), part.begin(), part.end());
  }
  for (auto& th : threads) th.join();
  std::vector<bool> seen(kThreads * kEach + 1);
  for (auto& q : all) {
    ASSERT_FALSE(seen[q.id]);
    seen[q.id] = true;
  }
  EXPECT_TRUE(inbox.Drain().empty());
}

}  // namespace
