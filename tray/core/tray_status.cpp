#include "tray_status.h"

#include "logon_flow.h"
#include "ui_data.h"

namespace tray {

namespace {

constexpr int kIconNotLoggedOn = 174;
constexpr int kIconLoggedOn = 368;
constexpr int kIconDeviceOnline = 239;
constexpr const char* kTitleKey = "DIALOG_TITLE";

TrayStatus Animate(int periodMs) {
  TrayStatus s;
  s.changes = true;
  s.animation = TrayAnimation::kStart;
  s.periodMs = periodMs;
  return s;
}

}  // namespace

TrayStatus RefreshStatus(const TrayStates& states) {
  TrayStatus s;
  if (!states.networkUp) {
    s.changes = true;
    s.icon = kIconNotLoggedOn;
    s.tipKey = kTitleKey;
    s.animation = TrayAnimation::kStop;
    return s;
  }
  // A waiting device login is the program's own state, not an answer of the service: it
  // blinks even while the service gives no usable login state, so the question is seen.
  if (states.mobileState == kMobileAwaitingApproval) return Animate(kTrayAnimDeviceLoginMs);
  if (states.logOnState == kLogOnUnknown || states.mobileState == kMobileUnknown) return s;
  switch (states.mobileState) {
    case kMobileNoDevice:
      s.changes = true;
      s.tipKey = kTitleKey;
      s.animation = TrayAnimation::kStop;
      if (states.switching) {
        s.icon = kIconNotLoggedOn;
      } else if (states.logOnState == kLoggedOn) {
        s.icon = kIconLoggedOn;
      } else if (states.logOnState == kLoggingOn) {
        s.animation = TrayAnimation::kStart;
        s.periodMs = kTrayAnimMs;
        s.tipKey = nullptr;
      } else {
        s.icon = kIconNotLoggedOn;
      }
      s.menuLineKey = "TRAYMENU_MOBILE_OUTLINE";
      s.onlineMark = false;
      return s;
    case kMobileIdle:
      s.changes = true;
      s.icon = kIconDeviceOnline;
      s.tipKey = kTitleKey;
      s.animation = TrayAnimation::kStop;
      s.menuLineKey = "TRAYMENU_MOBILE_ONLINE";
      s.onlineMark = true;
      return s;
    case kMobileUploading:
    case kMobileDownloading:
      return Animate(kTrayAnimMs);
    default:
      return s;
  }
}

TrayFrame AnimationFrame(int mobileState, int logOnState, int frame) {
  static constexpr int kLoggingOnFrames[] = {320, 349, 350, 0};  // the fourth frame leaves the icon
  static constexpr int kUpload[2][3] = {{240, 241, 355}, {242, 243, 353}};
  static constexpr int kDownload[2][3] = {{313, 314, 356}, {315, 316, 354}};
  static constexpr int kDeviceLogin[] = {255, 254};
  TrayFrame f;
  int last = 0;
  switch (mobileState) {
    case kMobileNoDevice:
    case kMobileIdle:
      last = 3;
      break;
    case kMobileUploading:
    case kMobileDownloading:
      last = 2;
      break;
    case kMobileAwaitingApproval:
      last = 1;
      break;
    default:
      f.nextFrame = frame;
      return f;
  }
  if (frame > last || frame < 0) frame = 0;
  f.ticks = true;
  const int other = logOnState == kLoggedOn ? 0 : 1;
  switch (mobileState) {
    case kMobileUploading:
      f.icon = kUpload[other][frame];
      break;
    case kMobileDownloading:
      f.icon = kDownload[other][frame];
      break;
    case kMobileAwaitingApproval:
      f.icon = kDeviceLogin[frame];
      f.tip = "Tirvan";
      break;
    default:
      f.icon = kLoggingOnFrames[frame];
      f.tip = "Tirvan";
      break;
  }
  f.nextFrame = frame + 1;
  return f;
}

int TrayMenuFor(int logOnState, bool switching) {
  return logOnState == kLoggedOn && !switching ? kTrayMenuLoggedOn : kTrayMenuLoggedOff;
}

TrayClick RouteLeftClick(bool deviceLoginWaits, bool busy, int logOnState) {
  if (deviceLoginWaits) return TrayClick::kShowDeviceLogin;
  if (busy) return TrayClick::kNothing;
  if (logOnState == kLoggedOn || logOnState == kLoggingOn) return TrayClick::kOpenRoot;
  return TrayClick::kRaiseLogin;
}

}  // namespace tray
