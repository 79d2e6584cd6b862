#pragma once
// Libraries loaded at run time.

#include <string>

// The calling convention of the run-time libraries' exports and callbacks.
#if defined(_WIN32) && !defined(_WIN64)
#define BRENVIC_STDCALL __stdcall
#else
#define BRENVIC_STDCALL  // x64 and Linux have one convention
#endif

namespace Platform {

using TLibHandle = void*;

// The file name of a run-time library with this system's extension:
// "LogClient" gives LogClient.dll or LogClient.so.
std::string LibraryFileName(const std::string& BaseName);

// Loads by name through the system's search; on failure, when the name holds no
// directory, from the executable's directory. nullptr when both fail (the
// thread's last error tells why).
TLibHandle LoadLibraryByName(const std::string& Name);

void FreeLibraryHandle(TLibHandle Lib);

// The address of an export, or nullptr.
void* LibrarySymbol(TLibHandle Lib, const std::string& Name);

}  // namespace Platform
