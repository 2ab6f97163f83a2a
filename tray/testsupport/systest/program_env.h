// The set-up of the tests that run the built program Tirvan against the built service:
// the service it starts, the environment it runs in, and the service's state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/service_manager.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace traytest {

// A loopback TCP port that is free at the time of asking.
uint16_t FreePort();

// Installs the service in tmp, logging on to central and sharing tmp/share, with the
// tray's login port and its own local port picked here (the local port written into its
// database). Fails the test (ASSERT) when the database is not changed; call it under
// ASSERT_NO_FATAL_FAILURE.
void InstallProgramService(const support::TempDir& tmp, const systest::Central& central,
                           std::unique_ptr<systest::Service>* service, uint16_t* servicePort,
                           std::string* trayLoginPort);

// The program's environment: its own home (mode 0700), runtime, config, data and log
// under tmp, the service's ports, and `more`.
void SetProgramEnvironment(const support::TempDir& tmp, uint16_t servicePort, const std::string& trayLoginPort,
                           const std::vector<std::pair<const char*, std::string>>& more);

// The state of the service under the built-in service manager of tmp/scm; stopped when
// it is not known.
platform::ServiceState ProgramServiceState(const support::TempDir& tmp);

}  // namespace traytest
