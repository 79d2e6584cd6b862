#include "platform/paths.h"

#include <windows.h>

namespace Platform {

char PathDelim() { return '\\'; }

std::string ExePath() {
  char Buf[MAX_PATH * 4];
  const DWORD Len = GetModuleFileNameA(nullptr, Buf, sizeof(Buf));
  if (Len == 0 || Len >= sizeof(Buf)) return {};
  return std::string(Buf, Len);
}

std::string ModuleFileName() {
  HMODULE Module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&ModuleFileName), &Module))
    return {};
  char Buf[1024];
  const DWORD Len = GetModuleFileNameA(Module, Buf, sizeof(Buf));
  if (Len == 0 || Len >= sizeof(Buf)) return {};
  return std::string(Buf, Len);
}

}  // namespace Platform
