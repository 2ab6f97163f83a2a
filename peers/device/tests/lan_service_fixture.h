// The fixture of the device client's end-to-end tests: the built service, started with
// one share, beside a folder outside the shares and a local folder for the device's side.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/device_client.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"
#include "system_harness.h"

class LanServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_share = m_tmp.Sub("share");
    m_tmp.MakeDir("share");
    m_tmp.MakeDir("outside");
    m_tmp.MakeDir("local");
    systest::ServiceOptions options;
    options.shares = {m_share};
    options.logPriority = 700;
    m_service = std::make_unique<systest::Service>(m_tmp, options);
    ASSERT_TRUE(m_service->Start()) << m_service->Output();
  }

  // A device client on a new LAN connection.
  std::unique_ptr<device::DeviceClient> Client() const {
    std::unique_ptr<device::DeviceClient> c = m_service->Lan();
    EXPECT_NE(c, nullptr);
    return c;
  }

  // tirvan-device against the service over the LAN.
  std::vector<std::string> DeviceArgs(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{systest::DeviceProgram(), "--port",
                                  std::to_string(m_service->port())};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  platform::CommandResult Device(const std::vector<std::string>& args) const {
    return platform::RunCommand(DeviceArgs(args), 60000);
  }

  std::string Shared(const std::string& name) const { return m_share + "/" + name; }
  std::string Local(const std::string& name) const { return m_tmp.Sub("local/" + name); }

  support::TempDir m_tmp;
  std::string m_share;
  std::unique_ptr<systest::Service> m_service;
};
