#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cerrno>

#include "platform/paths.h"

namespace Platform {

std::string LibraryFileName(const std::string& BaseName) { return BaseName + ".so"; }

TLibHandle LoadLibraryByName(const std::string& Name) {
  if (void* Lib = dlopen(Name.c_str(), RTLD_NOW | RTLD_LOCAL)) return Lib;
  if (Name.find('/') == std::string::npos) {
    const std::string Beside = ExeDir() + Name;
    if (void* Lib = dlopen(Beside.c_str(), RTLD_NOW | RTLD_LOCAL)) return Lib;
  }
  errno = ENOENT;
  return nullptr;
}

void FreeLibraryHandle(TLibHandle Lib) {
  if (Lib) dlclose(Lib);
}

void* LibrarySymbol(TLibHandle Lib, const std::string& Name) {
  return Lib ? dlsym(Lib, Name.c_str()) : nullptr;
}

}  // namespace Platform
