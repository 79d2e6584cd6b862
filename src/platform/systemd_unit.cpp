// The unit file of the service where the service manager is systemd. Plain text,
// the same on every system, so that it can be checked anywhere.
#include "platform/service.h"

namespace Platform {
namespace {
std::string QuoteExecPath(const std::string& Path) {
  if (Path.find_first_of(" \t\"\\") == std::string::npos) return Path;
  std::string Q = "\"";
  for (char C : Path) {
    if (C == '"' || C == '\\') Q += '\\';
    Q += C;
  }
  return Q + "\"";
}
}  // namespace

std::string SystemdUnitText(const TServiceIdentity& Service) {
  return "[Unit]\n"
         "Description=" + Service.Description + "\n"
         "After=network.target sound.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + QuoteExecPath(Service.ExePath) + "\n"
         "Restart=on-failure\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

}  // namespace Platform
