// A tray that shows nothing and records each command with the icon's record as sent.
#pragma once

#include <vector>

#include "tray_icon.h"

namespace traytest {

class RecordingTray final : public tray::ITrayBackend {
 public:
  struct Call {
    tray::TrayCommand command;
    tray::TrayRecord record;
  };
  bool Notify(tray::TrayCommand command, const tray::TrayRecord& record) override {
    calls.push_back({command, record});
    if (failures > 0) {
      --failures;
      return false;
    }
    return true;
  }
  std::vector<Call> calls;
  int failures = 0;  // how many of the next commands fail
};

}  // namespace traytest
