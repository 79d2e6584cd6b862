#include "platform/sysmsg.h"

#include <cerrno>
#include <cstring>

namespace Platform {

int LastError() { return errno; }
void SetLastError(int Code) { errno = Code; }

std::string SystemMessage(int Code) {
  switch (Code) {
    case ServiceErrorNoManager:
      return "The service manager (systemd) is not running";
    case ServiceErrorDoesNotExist:
      return "The specified service does not exist as an installed service";
    case ServiceErrorAlreadyRunning:
      return "An instance of the service is already running";
    case ServiceErrorRequestFailed:
      return "The service manager did not carry out the request (see systemctl status)";
    case ServiceErrorNotStartedByManager:
      return "The program was not started by the service manager";
    case ServiceErrorOwnedByPackage:
      return "The service belongs to the installed package (remove the package instead)";
    default:
      break;
  }
  char Buf[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* Text = strerror_r(Code, Buf, sizeof(Buf));
  std::string Result = Text ? Text : "";
  if (Result.size() > 256) Result.resize(256);
  return TrimSystemMessage(Result);
}

}  // namespace Platform
