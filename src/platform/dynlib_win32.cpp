#include "platform/dynlib.h"

#include <windows.h>

#include "platform/paths.h"

namespace Platform {

std::string LibraryFileName(const std::string& BaseName) { return BaseName + ".dll"; }

TLibHandle LoadLibraryByName(const std::string& Name) {
  if (HMODULE Lib = LoadLibraryA(Name.c_str())) return Lib;
  if (Name.find_first_of("\\/:") == std::string::npos) {
    const std::string Beside = ExeDir() + Name;
    if (HMODULE Lib = LoadLibraryA(Beside.c_str())) return Lib;
  }
  return nullptr;
}

void FreeLibraryHandle(TLibHandle Lib) {
  if (Lib) FreeLibrary(static_cast<HMODULE>(Lib));
}

void* LibrarySymbol(TLibHandle Lib, const std::string& Name) {
  return Lib ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(Lib), Name.c_str()))
             : nullptr;
}

}  // namespace Platform
