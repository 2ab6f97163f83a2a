#include "tray_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tray::TrayAnimation;

std::string Str(const char* s) { return s ? s : "-"; }

TEST(TrayStatusTest, StatusOfTheStates) {
  struct Case {
    int login, mobile;
    bool up, switching;
    bool changes;
    int icon;
    const char* tip;
    TrayAnimation anim;
    int period;
    const char* line;
    bool mark;
  };
  const char* T = "DIALOG_TITLE";
  const char* OUT = "TRAYMENU_MOBILE_OUTLINE";
  const char* ON = "TRAYMENU_MOBILE_ONLINE";
  const Case cases[] = {
      // Network down: 174 whatever else, animation stopped, menus left alone.
      {1, 2, false, false, true, 174, T, TrayAnimation::kStop, 0, nullptr, false},
      {3, 5, false, false, true, 174, T, TrayAnimation::kStop, 0, nullptr, false},
      // No usable answer from the service: nothing changes.
      {0, 1, true, false, false, 0, nullptr, TrayAnimation::kLeave, 0, nullptr, false},
      {1, 0, true, false, false, 0, nullptr, TrayAnimation::kLeave, 0, nullptr, false},
      // No device online.
      {1, 1, true, false, true, 368, T, TrayAnimation::kStop, 0, OUT, false},
      {1, 1, true, true, true, 174, T, TrayAnimation::kStop, 0, OUT, false},  // switching
      {3, 1, true, false, true, 0, nullptr, TrayAnimation::kStart, 150, OUT, false},
      {3, 1, true, true, true, 174, T, TrayAnimation::kStop, 0, OUT, false},
      {2, 1, true, false, true, 174, T, TrayAnimation::kStop, 0, OUT, false},
      {4, 1, true, false, true, 174, T, TrayAnimation::kStop, 0, OUT, false},
      {-2, 1, true, false, true, 174, T, TrayAnimation::kStop, 0, OUT, false},
      // A device online and idle.
      {1, 2, true, false, true, 239, T, TrayAnimation::kStop, 0, ON, true},
      {2, 2, true, true, true, 239, T, TrayAnimation::kStop, 0, ON, true},
      // Transfers animate at 150 ms, a waiting device login at 500 ms; the menus stay.
      {1, 3, true, false, true, 0, nullptr, TrayAnimation::kStart, 150, nullptr, false},
      {2, 4, true, false, true, 0, nullptr, TrayAnimation::kStart, 150, nullptr, false},
      {1, 5, true, false, true, 0, nullptr, TrayAnimation::kStart, 500, nullptr, false},
      // A waiting question blinks even while the service's login state is unknown.
      {0, 5, true, false, true, 0, nullptr, TrayAnimation::kStart, 500, nullptr, false},
      // Any other mobile value: nothing.
      {1, 9, true, false, false, 0, nullptr, TrayAnimation::kLeave, 0, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "login " << c.login << " mobile " << c.mobile << " up " << c.up
                                    << " switching " << c.switching);
    tray::TrayStatus s = tray::RefreshStatus({c.login, c.mobile, c.up, c.switching});
    EXPECT_EQ(s.changes, c.changes);
    EXPECT_EQ(s.icon, c.icon);
    EXPECT_EQ(Str(s.tipKey), Str(c.tip));
    EXPECT_EQ(s.animation, c.anim);
    if (c.anim == TrayAnimation::kStart) {
      EXPECT_EQ(s.periodMs, c.period);
    }
    EXPECT_EQ(Str(s.menuLineKey), Str(c.line));
    if (c.line) {
      EXPECT_EQ(s.onlineMark, c.mark);
    }
  }
}

// Ticks the animation n times from frame and returns the icons set (0: left as it was).
std::vector<int> Ticks(int mobile, int login, int& frame, int n, std::string* tips = nullptr) {
  std::vector<int> icons;
  for (int i = 0; i < n; ++i) {
    tray::TrayFrame f = tray::AnimationFrame(mobile, login, frame);
    EXPECT_TRUE(f.ticks);
    icons.push_back(f.icon);
    if (tips) *tips += std::string(f.tip) + "|";
    frame = f.nextFrame;
  }
  return icons;
}

TEST(TrayStatusTest, AnimationFramesWrapAround) {
  struct Case {
    int mobile, login;
    std::vector<int> icons;  // from frame 0, over more than one round
    const char* tip;
  };
  const Case cases[] = {
      {1, 3, {320, 349, 350, 0, 320, 349}, "Tirvan"},
      {2, 1, {320, 349, 350, 0, 320, 349}, "Tirvan"},
      {3, 1, {240, 241, 355, 240, 241}, ""},
      {3, 2, {242, 243, 353, 242, 243}, ""},
      {3, 3, {242, 243, 353, 242, 243}, ""},
      {4, 1, {313, 314, 356, 313, 314}, ""},
      {4, 2, {315, 316, 354, 315, 316}, ""},
      {5, 1, {255, 254, 255, 254}, "Tirvan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mobile " << c.mobile << " login " << c.login);
    int frame = 0;
    std::string tips;
    EXPECT_EQ(Ticks(c.mobile, c.login, frame, static_cast<int>(c.icons.size()), &tips), c.icons);
    std::string expected;
    for (size_t i = 0; i < c.icons.size(); ++i) expected += std::string(c.tip) + "|";
    EXPECT_EQ(tips, expected);
  }
}

TEST(TrayStatusTest, FrameCounterCarriesOverBetweenAnimations) {
  // The counter is never reset: an upload's third frame is followed, when the device
  // login starts blinking, by a wrap to its first frame, and the next upload goes on
  // from wherever the blinking left it.
  int frame = 0;
  EXPECT_EQ(Ticks(3, 1, frame, 3), (std::vector<int>{240, 241, 355}));
  EXPECT_EQ(frame, 3);
  EXPECT_EQ(Ticks(5, 1, frame, 1), std::vector<int>{255});  // 3 > 1 wraps
  EXPECT_EQ(Ticks(4, 1, frame, 2), (std::vector<int>{314, 356}));
  // Another mobile value ticks nothing and leaves the counter.
  tray::TrayFrame f = tray::AnimationFrame(0, 1, 2);
  EXPECT_FALSE(f.ticks);
  EXPECT_EQ(f.nextFrame, 2);
  EXPECT_EQ(f.icon, 0);
}

TEST(TrayStatusTest, MenuAndLeftClickRouting) {
  EXPECT_EQ(tray::TrayMenuFor(1, false), 139);
  EXPECT_EQ(tray::TrayMenuFor(1, true), 145);
  for (int state : {0, 2, 3, 4, 5}) EXPECT_EQ(tray::TrayMenuFor(state, false), 145) << state;

  using tray::TrayClick;
  struct Case {
    bool waits, busy;
    int login;
    TrayClick to;
  };
  const Case cases[] = {
      {true, true, 2, TrayClick::kShowDeviceLogin}, {true, false, 1, TrayClick::kShowDeviceLogin},
      {false, true, 1, TrayClick::kNothing},        {false, true, 2, TrayClick::kNothing},
      {false, false, 1, TrayClick::kOpenRoot},      {false, false, 3, TrayClick::kOpenRoot},
      {false, false, 2, TrayClick::kRaiseLogin},    {false, false, 0, TrayClick::kRaiseLogin},
      {false, false, 4, TrayClick::kRaiseLogin},    {false, false, -2, TrayClick::kRaiseLogin},
  };
  for (const Case& c : cases)
    EXPECT_EQ(tray::RouteLeftClick(c.waits, c.busy, c.login), c.to) << c.waits << c.busy << c.login;
}

}  // namespace
