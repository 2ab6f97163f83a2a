// The program's entry and its life as a service: installing and removing itself,
// ServiceMain with its start steps and status reports, the control handler that runs
// the stop step, and the command line of main.
//
// Stop: the control handler (on the dispatcher's thread) raises the stop flag, reports
// STOP_PENDING, runs Service_Exit, then releases ServiceMain, which reports STOPPED:
// one report, after the clean-up. After it main ends the process with _exit, since
// work items still run and static destructors must not run under them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/service_manager.h"

// The wait hint of the start and stop reports.
inline constexpr uint32_t kServiceWaitHintMs = 60000;

// A start or stop step: 0 for success.
using ServiceStep = std::function<int()>;
using ServiceStepTable = std::vector<ServiceStep>;

// Where the status reports go; by default the dispatcher's ReportServiceStatus.
using ServiceStatusReporter = std::function<void(platform::ServiceState state, uint32_t checkPoint,
                                                 uint32_t waitHintMs, uint32_t exitCode)>;

// The step tables and the reporter; the defaults are the service's own:
// start {Service_PrepareProcess, Service_InitProgram}, stop and shutdown {Service_Exit}.
struct ServiceHostConfig {
  ServiceStepTable start;
  ServiceStepTable stop;
  ServiceStepTable shutdown;
  ServiceStatusReporter report;
};
ServiceHostConfig DefaultServiceHostConfig();
// Replaces the configuration and forgets an earlier run (tests run ServiceMain again).
void Service_ConfigureHost(const ServiceHostConfig& config);

// Runs the steps in order; before each, the checkpoint goes up by one and the status is
// reported with the state unchanged. 0 when every step returned 0 (also for an empty
// table), -1 at the first that did not, whose result goes to *failedCode.
int RunServiceSteps(const ServiceStepTable& steps, int* failedCode = nullptr);

// True when the service manager knows the service.
bool IsServiceInstalled(const std::string& name);
// Installs this program as the service name (automatic start, own process, the command
// line "<exe>" "-r" "<name>"). 1 on success, 0 on failure (also for an installed name).
int InstallService(const std::string& name);
// Removes the service without stopping it. 1 when it was removed, else 0.
int UninstallService(const std::string& name);

// Runs on the dispatcher's service thread: START_PENDING (wait hint 60000), the start
// steps, RUNNING and the wait for the stop, STOPPED. A failed start reports STOPPED with
// the failed step's code as exit code (1 for a code of 0 or below), never 0.
void ServiceMain();
// Stop (1) and shutdown (5), while running and only the first: the stop flag,
// STOP_PENDING (wait hint 60000), the stop steps, then ServiceMain's release. Every
// other control is ignored.
void ServiceCtrlHandler(uint32_t control);

// The first start step: a higher scheduling priority for the start thread and the
// threads it starts (a refusal is reported, not fatal) and the handler that ends the
// process quietly on an unhandled exception. Always 0.
int Service_PrepareProcess();

// main's work: sets g_ServiceName, g_InstallRoot and g_DBPath, then acts on the command
// line and returns the exit code:
//   no argument 1; one argument 0; "-i" NAME install (0, or -1 when installed or failed);
//   "-u" NAME remove (0, or -1); "-r" NAME run under the service manager (-1 when no
//   manager started the process; otherwise the process ends here with _exit, 0 after a
//   clean stop, non-zero after a failed start); anything else -1.
int ServiceProgramMain(int argc, char** argv);
