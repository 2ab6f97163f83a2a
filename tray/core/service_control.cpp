#include "service_control.h"

#include <QDebug>

namespace tray {

using platform::ScmError;
using platform::ScmResult;
using platform::ServiceState;
using platform::StartType;

std::optional<StartType> StartTypeFor(StartType current, bool autostart) {
  switch (current) {
    case StartType::kDemand:
      return autostart ? std::optional(StartType::kAuto) : std::nullopt;
    case StartType::kAuto:
      return autostart ? std::nullopt : std::optional(StartType::kDemand);
    case StartType::kDisabled:
      return autostart ? StartType::kAuto : StartType::kDemand;
  }
  return std::nullopt;
}

ServiceControl::ServiceControl(IAutostart& autostart, Opener opener, QString name)
    : m_autostart(autostart), m_opener(std::move(opener)), m_name(std::move(name)) {}

std::unique_ptr<platform::ServiceManager> ServiceControl::Open() {
  if (m_opener) return m_opener();
  std::unique_ptr<platform::ServiceManager> manager;
  ScmResult result = platform::OpenServiceManager(&manager);
  if (!result.ok()) {
    Failed("open the service manager", result);
    return nullptr;
  }
  return manager;
}

void ServiceControl::Failed(const char* what, const ScmResult& result) {
  QString text = QStringLiteral("cannot %1 %2: %3")
                     .arg(QLatin1String(what), m_name, QString::fromStdString(result.message));
  if (text != m_lastFailure) qWarning("%s", qUtf8Printable(text));
  m_lastFailure = text;
  if (result.code == ScmError::kAccessDenied && !m_toldRights) {
    m_toldRights = true;
    if (onRightsMissing) onRightsMissing(text);
  }
}

void ServiceControl::Tick() {
  auto manager = Open();
  if (!manager) return;
  const std::string name = m_name.toStdString();
  platform::ServiceStatus status;
  ScmResult query = manager->QueryStatus(name, &status);
  if (query.code == ScmError::kDoesNotExist) {
    Failed("find", query);
    return;
  }
  if (query.ok()) {
    bool pending = status.state == ServiceState::kStartPending ||
                   status.state == ServiceState::kStopPending;
    m_pendingTicks = pending ? m_pendingTicks + 1 : 0;
    if (status.state == ServiceState::kStopped) {
      StartService();
    } else if (m_pendingTicks >= 2) {
      qWarning("the service %s stays %s; stopping it to start it again", qUtf8Printable(m_name),
               platform::ServiceStateName(status.state));
      ScmResult stop = manager->Stop(name, 0);
      if (!stop.ok() && stop.code != ScmError::kNotActive) Failed("stop", stop);
      m_pendingTicks = 0;
    }
  } else {
    Failed("query", query);
  }
  SyncServiceStartType();
}

void ServiceControl::StartService() {
  auto manager = Open();
  if (!manager) return;
  ScmResult result = manager->Start(m_name.toStdString(), 0);
  if (result.ok()) {
    qInfo("started the service %s", qUtf8Printable(m_name));
    m_lastFailure.clear();
  } else if (result.code != ScmError::kAlreadyRunning) {
    Failed("start", result);
  }
}

void ServiceControl::SyncServiceStartType() {
  auto manager = Open();
  if (!manager) return;
  StartType current;
  ScmResult result = manager->GetStartType(m_name.toStdString(), &current);
  if (!result.ok()) {
    Failed("read the start type of", result);
    return;
  }
  if (auto wanted = StartTypeFor(current, m_autostart.IsEnabled())) SetServiceStartType(*wanted);
}

bool ServiceControl::SetServiceStartType(StartType type) {
  auto manager = Open();
  if (!manager) return true;
  ScmResult result = manager->SetStartType(m_name.toStdString(), type);
  if (result.ok()) {
    qInfo("the service %s starts %s now", qUtf8Printable(m_name), platform::StartTypeName(type));
    return true;
  }
  if (result.code == ScmError::kMarkedForDelete) {
    if (onMarkedForDelete) onMarkedForDelete();
    return false;
  }
  Failed("change the start type of", result);
  return true;
}

void ServiceControl::StopService() {
  auto manager = Open();
  if (!manager) return;
  ScmResult result = manager->Stop(m_name.toStdString(), 0);
  if (result.ok()) {
    qInfo("asked the service %s to stop", qUtf8Printable(m_name));
  } else if (result.code != ScmError::kNotActive) {
    Failed("stop", result);
  }
}

}  // namespace tray
