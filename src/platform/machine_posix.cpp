#include "platform/machine.h"

#include "platform/files.h"

namespace Platform {

std::string MachineIdentity() {
  // The D-Bus copy is where systems without systemd keep it.
  for (const char* Path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string Text;
    if (!ReadWholeFile(Path, Text)) continue;
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' ')) Text.pop_back();
    if (!Text.empty()) return Text;
  }
  return {};
}

}  // namespace Platform
