#include "platform/service.h"

#include <cerrno>

namespace Platform {

// No service manager is bound on this system yet: every service is unknown.
int ServiceQueryInstalled(const std::string&) { return ESRCH; }

}  // namespace Platform
