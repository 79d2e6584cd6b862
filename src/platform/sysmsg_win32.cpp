#include "platform/sysmsg.h"

#include <windows.h>

namespace Platform {

int LastError() { return static_cast<int>(GetLastError()); }
void SetLastError(int Code) { ::SetLastError(static_cast<DWORD>(Code)); }

std::string SystemMessage(int Code) {
  char Buf[257] = {};
  const DWORD Len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                       FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   nullptr, static_cast<DWORD>(Code), 0, Buf, 256, nullptr);
  return TrimSystemMessage(std::string(Buf, Len > 256 ? 256 : Len));
}

}  // namespace Platform
