#include "live_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

namespace traytest {

LiveService::LiveService(const support::TempDir& dir, std::string email, std::string password)
    : tmp(dir), central(dir, std::move(email), std::move(password)) {}

void LiveService::Start(systest::ServiceOptions so, bool loginPort) {
  ASSERT_TRUE(central.Start()) << central.Output();
  so.central = &central;
  service = std::make_unique<systest::Service>(tmp, so);
  if (loginPort) {
    ASSERT_NO_FATAL_FAILURE(MakeClient(true));
    ASSERT_TRUE(service->Start()) << service->Output();
  } else {
    ASSERT_TRUE(service->Start()) << service->Output();
    ASSERT_NO_FATAL_FAILURE(MakeClient(false));
  }
  ui->SetServicePort(service->port());
}

void LiveService::MakeClient(bool loginPort) {
  tray::UIDataOptions o;
  o.transport.listenPort = 0;
  ui = std::make_unique<tray::CUIData>(o);
  if (!loginPort) return;
  ASSERT_NE(ui->ListenPort(), 0);
  ::setenv("TIRVAN_TRAY_LOGIN_PORT", std::to_string(ui->ListenPort()).c_str(), 1);
  m_loginPort = true;
}

void LiveService::Stop() {
  if (ui) ui->ClearCallback();
  if (m_loginPort) ::unsetenv("TIRVAN_TRAY_LOGIN_PORT");
  m_loginPort = false;
}

}  // namespace traytest
