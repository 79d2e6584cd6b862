#include "platform/paths.h"

#include <limits.h>
#include <unistd.h>

namespace Platform {

char PathDelim() { return '/'; }

std::string ExePath() {
  char Buf[PATH_MAX + 1];
  const ssize_t Len = readlink("/proc/self/exe", Buf, PATH_MAX);
  if (Len <= 0) return {};
  return std::string(Buf, static_cast<size_t>(Len));
}

// The log code is linked statically into the executable, so its module is the
// executable; the 1024-character limit of the module name query still holds.
std::string ModuleFileName() {
  std::string Name = ExePath();
  if (Name.size() >= 1024) return {};
  return Name;
}

}  // namespace Platform
