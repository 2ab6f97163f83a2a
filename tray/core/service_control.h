// The tray program's control of the service "Tirvan" through the platform's service
// manager: the watchdog that starts a service that is not running, the start type kept in
// line with the autostart entry, and the stop at exit. Failures never end the program:
// each is logged once, and a refusal for want of rights is also handed to the owner once,
// to show the user.
#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

#include "autostart.h"
#include "platform/service_manager.h"

namespace tray {

inline constexpr const char* kServiceName = "Tirvan";
inline constexpr int kServiceWatchdogMs = 10000;

// The start type the service gets, given its current one and whether the program starts
// with the session: none when it stays as it is.
std::optional<platform::StartType> StartTypeFor(platform::StartType current, bool autostart);

class ServiceControl {
 public:
  using Opener = std::function<std::unique_ptr<platform::ServiceManager>()>;

  // opener gives the service manager for each operation (the platform's default when
  // empty); autostart is the program's entry in the session's start-up.
  ServiceControl(IAutostart& autostart, Opener opener = {}, QString name = QLatin1String(kServiceName));

  // One watchdog period: a stopped service (also one whose start failed) is started; one
  // that stays pending for two periods is asked to stop, so that a later period starts
  // it again; the start type follows whenever the service could be reached.
  void Tick();
  void StartService();
  void SyncServiceStartType();
  // False when the service is marked for removal (it can no longer be configured).
  bool SetServiceStartType(platform::StartType type);
  // Asks the service to stop, without waiting.
  void StopService();

  // Told once, with a text for the user, when the service manager refuses for want of
  // rights.
  std::function<void(const QString&)> onRightsMissing;
  // Told when the service turns out to be marked for removal.
  std::function<void()> onMarkedForDelete;

 private:
  std::unique_ptr<platform::ServiceManager> Open();
  void Failed(const char* what, const platform::ScmResult& result);

  IAutostart& m_autostart;
  Opener m_opener;
  QString m_name;
  int m_pendingTicks = 0;
  QString m_lastFailure;
  bool m_toldRights = false;
};

}  // namespace tray
