// What the tray icon shows for the program's states, without widgets: the icon, its tip,
// the animation and the menus' status line chosen from the login, mobile, network and
// switching states, the frames of the animations, the menu a right click opens and where
// a left click goes. The settings dialog applies the results.
#pragma once

namespace tray {

inline constexpr int kTrayAnimMs = 150;             // logging on, transfers
inline constexpr int kTrayAnimDeviceLoginMs = 500;  // a device login waits

inline constexpr int kTrayMenuLoggedOn = 139;
inline constexpr int kTrayMenuLoggedOff = 145;

struct TrayStates {
  int logOnState = 2;
  int mobileState = 1;
  bool networkUp = true;
  bool switching = false;
};

enum class TrayAnimation {
  kLeave,  // a running animation keeps running, a stopped one stays stopped
  kStop,
  kStart,  // (re)armed with periodMs
};

struct TrayStatus {
  bool changes = false;          // false: nothing at all changes
  int icon = 0;                  // the icon to set (0: the icon is left as it is)
  const char* tipKey = nullptr;  // UI key of the tip set with the icon
  TrayAnimation animation = TrayAnimation::kLeave;
  int periodMs = 0;                   // with kStart
  const char* menuLineKey = nullptr;  // UI key of both menus' status line (none: unchanged)
  bool onlineMark = false;            // with menuLineKey: the status line's online mark
};

// The status for the states; pure.
TrayStatus RefreshStatus(const TrayStates& states);

// One tick of the animation with the frame counter `frame`.
struct TrayFrame {
  bool ticks = false;  // false: nothing happens and the counter stays
  int icon = 0;        // the icon of the frame (0: the icon is left as it is)
  const char* tip = "";
  int nextFrame = 0;   // the counter after the tick
};
TrayFrame AnimationFrame(int mobileState, int logOnState, int frame);

// The menu a right click opens: 139 while logged on and not switching, else 145.
int TrayMenuFor(int logOnState, bool switching);

enum class TrayClick { kShowDeviceLogin, kNothing, kOpenRoot, kRaiseLogin };
// Where a left click goes: a waiting device login first; nothing while the first-run
// wizard runs; the root folder while logged on or logging on; else the login window.
TrayClick RouteLeftClick(bool deviceLoginWaits, bool busy, int logOnState);

}  // namespace tray
