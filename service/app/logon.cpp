#include "app/logon.h"

#include "comm/errors.h"

// Not built yet: nothing reaches the central server.

std::atomic<int> g_LogOnRtn{ERR_CONNECT_NET};

int LogOn() { return ERR_CONNECT_NET; }
int LogOut() { return -1; }
int SetSVInfo() { return ERR_CONNECT_NET; }
void SetPowerOnInfo() {}
void HeartBeat(void*) {}
void SetDiskInfo(void*) {}
