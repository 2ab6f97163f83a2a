// Logon with the central server and the PC's reports to it: addresses and ports,
// power-on, disks, and the heartbeat that logs on anew every 60 s.
#pragma once

#include <atomic>

// Result of the latest logon: 0 logged on, 4122 server unreachable, 4127 no account
// stored, 273 out of memory, otherwise the server's result code.
extern std::atomic<int> g_LogOnRtn;

int LogOn();
int LogOut();
int SetSVInfo();
void SetPowerOnInfo();
// Work items; the argument is not used.
void HeartBeat(void* arg);
void SetDiskInfo(void* arg);
