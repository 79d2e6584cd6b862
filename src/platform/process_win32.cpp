#include "platform/process.h"

#include <windows.h>

#include <tlhelp32.h>

#include "platform/handle_win32.h"

namespace Platform {

void RaiseToRealtimePriority() { SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

size_t ThreadCount() {
  const THandle Snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!Snapshot.Valid()) return 0;
  const DWORD Self = GetCurrentProcessId();
  size_t N = 0;
  THREADENTRY32 E{};
  E.dwSize = sizeof E;
  for (BOOL More = Thread32First(Snapshot.Get(), &E); More; More = Thread32Next(Snapshot.Get(), &E))
    if (E.th32OwnerProcessID == Self) ++N;
  return N;
}

void NameCurrentThread(const char* Name) {
  // Windows 10 1607 and later; looked up so that older systems still load us.
  using TSetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE Kernel = GetModuleHandleW(L"kernel32.dll");
  const auto Set = Kernel ? reinterpret_cast<TSetDescription>(
                                reinterpret_cast<void*>(GetProcAddress(Kernel, "SetThreadDescription")))
                          : nullptr;
  if (!Set) return;
  wchar_t Wide[64] = {};
  for (size_t I = 0; I + 1 < sizeof Wide / sizeof Wide[0] && Name[I]; ++I)
    Wide[I] = static_cast<unsigned char>(Name[I]);
  Set(GetCurrentThread(), Wide);
}

}  // namespace Platform
