// The fixed ports on which the service, the tray program and the devices meet.
#pragma once

#include <cstdint>

// The tray program sends every request to this port on 127.0.0.1; the service's local
// server takes it when its `localport` is 15002.
inline constexpr uint16_t SERVICE_REQUEST_PORT = 15002;
// The tray program's listener, where the service asks it about a device login.
inline constexpr uint16_t TRAY_LISTEN_PORT = 15003;
// LAN discovery: devices broadcast their request to this UDP port.
inline constexpr uint16_t BROADPORT = 61617;
