// The service side of the service manager: the dispatcher that a service program's
// main hands its ServiceMain and control handler to, and the status reports.
//
// RunServiceDispatcher ignores SIGPIPE and blocks SIGTERM, SIGINT and SIGHUP before it
// starts any thread, runs ServiceMain on a thread of its own and takes the signals on
// the calling thread, where it calls the control handler:
//   SIGTERM, SIGINT -> kServiceControlStop (1)
//   SIGHUP          -> kServiceControlShutdown (5)
// A control that arrives while the service has not reported RUNNING yet is held until
// it does (and dropped when the start fails); only the first control is delivered, the
// handler runs at most once. The dispatcher returns once ServiceMain has returned and
// no handler runs; the signals stay blocked.
//
// Under the built-in manager the status reports go to the service's status file; under
// systemd they go to the notify socket: READY=1 for RUNNING, STOPPING=1 for
// STOP_PENDING, EXTEND_TIMEOUT_USEC with the wait hint, and STATUS= texts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/service_manager.h"

namespace platform {

using ServiceMainFunction = std::function<void()>;
using ServiceControlHandler = std::function<void(uint32_t control)>;

// Blocks the stop signals in the calling thread; threads created later inherit the
// mask. RunServiceDispatcher calls it; call it earlier when the program starts threads
// before the dispatcher.
void BlockStopSignals();

// Runs the service name until it stops. Fails at once with kNotStartedByManager when
// no service manager started this process for that name (nothing is run then), with
// kAlreadyRunning when a dispatcher already runs. On success *exitCode is the exit code
// of the service's STOPPED report: 0 after a clean stop, non-zero after a failed start,
// kProcessAborted (1067) when ServiceMain returned without reporting STOPPED.
ScmResult RunServiceDispatcher(const std::string& name, const ServiceMainFunction& serviceMain,
                               const ServiceControlHandler& handler, uint32_t* exitCode);

// Reports the service's status to the manager; safe from any thread. The report after
// STOPPED (the final one) and reports while no dispatcher runs are refused. exitCode
// counts only with STOPPED.
ScmResult ReportServiceStatus(ServiceState state, uint32_t checkPoint, uint32_t waitHintMs,
                              uint32_t exitCode = 0);

// The process exit status for a service exit code: 0 for 0, otherwise non-zero (the low
// eight bits, or 1 when they are 0), so a failed start never ends with status 0.
int ServiceExitStatus(uint32_t exitCode);

}  // namespace platform
