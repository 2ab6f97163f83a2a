// tirvan-device-p2p.so: the UDT transport for the device program, which loads it only for
// a peer-to-peer command. Everything but the entry point stays inside the module.
#include "device/p2p_module.h"
#include "device/udt_transport.h"

extern "C" __attribute__((visibility("default"))) device::Transport* tirvan_device_connect_udt(
    const device::P2PTarget* target, int timeoutMs, std::string* error);

device::Transport* tirvan_device_connect_udt(const device::P2PTarget* target, int timeoutMs,
                                             std::string* error) {
  return device::ConnectUdt(*target, timeoutMs, error).release();
}

// The entry point has the loader's type.
[[maybe_unused]] static constexpr device::ConnectUdtEntry kEntryMatches = &tirvan_device_connect_udt;
