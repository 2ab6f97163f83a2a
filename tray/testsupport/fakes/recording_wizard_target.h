// A wizard target that notes each call as a line: "SetDefShare <base>", "SetShare <a> <b>".
#pragma once

#include <string>
#include <vector>

#include "wizard_logic.h"

namespace traytest {

struct RecordingWizardTarget final : tray::IWizardTarget {
  void SetDefShare(const QString& base) override { calls.push_back("SetDefShare " + base.toStdString()); }
  void SetShare(const std::vector<std::string>& added) override {
    std::string line = "SetShare";
    for (const auto& a : added) line += " " + a;
    calls.push_back(line);
  }
  std::vector<std::string> calls;
};

}  // namespace traytest
