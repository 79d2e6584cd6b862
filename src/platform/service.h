#pragma once
// The system's service manager.

#include <string>

namespace Platform {

// 0 when the service manager knows a service of this name, otherwise the
// system's error code (the query needs only the lock-status and status rights).
int ServiceQueryInstalled(const std::string& ServiceName);

}  // namespace Platform
