#pragma once
// What tells this machine from others, for names that must stay the same
// across restarts and differ between machines without giving the host name
// away.

#include <string>

namespace Platform {

// The machine's own identifier as the system keeps it (systemd's machine-id on
// Linux, the MachineGuid of the cryptography key on Windows); empty when the
// system has none. Not for display: callers hash it.
std::string MachineIdentity();

}  // namespace Platform
