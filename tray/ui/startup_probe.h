// A start-up probe for the start-up benchmark: with TIRVAN_STARTUP_PROBE set in the
// environment, the program prints how long it took to get going and how much memory it
// holds then, once its event loop first goes idle, and quits. With TIRVAN_STARTUP_PROBE_LATE_MS
// set too, it quits only that many milliseconds after the process started, printing its
// memory again then. Without the variables it does nothing.
#pragma once

namespace tray {

// Call after the tray icon is set and before the event loop runs. The line printed on
// standard output:
//   startup_probe elapsed_ms=<since the process started, from /proc/self/stat>
//                 launch_ms=<since TIRVAN_STARTUP_T0_NS, a CLOCK_REALTIME time in ns the
//                            caller took just before starting the program; -1 without it>
//                 rss_kib=<VmRSS>
// and with TIRVAN_STARTUP_PROBE_LATE_MS, at that time:
//   startup_probe_late elapsed_ms=<since the process started> rss_kib=<VmRSS>
void ArmStartupProbe();

}  // namespace tray
