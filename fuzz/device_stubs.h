// Stand-ins for what the device requests reach outside the service: the tray program's
// login listener and the power-off command.
#pragma once

namespace fuzz {

// Once per process: replaces the command runner and the power-off command, so that a
// shutdown request never runs anything (the runner refuses every fourth command, fails
// every other run, and fails the target on any command but its own); stores the PC's
// account (pc@example.com, "hash-of-the-pc"); shortens the central server's time-outs
// (nothing listens at the configured port); and runs the tray program's login listener:
// it answers a DeviceLoginAsk by the first byte of the e-mail: even admitted, odd refused,
// 'x' five bytes of nothing.
void InitDeviceStubs();

}  // namespace fuzz
