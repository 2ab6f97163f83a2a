// tirvan-central with one PC account, the built TirvanClient logged on to it, and the
// tray's own service client pointed at the service: the real-service set-up of the
// settings-dialog tests.
#pragma once

#include <memory>
#include <string>

#include "support/temp_dir.h"
#include "system_harness.h"
#include "ui_data.h"

namespace traytest {

class LiveService {
 public:
  explicit LiveService(const support::TempDir& tmp, std::string email = "pc@tirvan.test",
                       std::string password = "pc-pass1");

  // Starts the central server and the service (logging on to the server), and makes the
  // service client. With loginPort the client listens first and the service learns its
  // port through TIRVAN_TRAY_LOGIN_PORT; without, the client is made once the service
  // runs. Fails the test (ASSERT) when a part does not come up; call it under
  // ASSERT_NO_FATAL_FAILURE.
  void Start(systest::ServiceOptions so = {}, bool loginPort = true);
  // Detaches the client's callback and forgets the login port; for TearDown.
  void Stop();

  const support::TempDir& tmp;
  systest::Central central;
  std::unique_ptr<systest::Service> service;
  std::unique_ptr<tray::CUIData> ui;

 private:
  void StartService(const systest::ServiceOptions& so);
  void MakeClient(bool loginPort);
  bool m_loginPort = false;
};

}  // namespace traytest
