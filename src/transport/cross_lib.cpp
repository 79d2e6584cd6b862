#include "transport/cross_lib.h"

#include "platform/exception.h"

Platform::TLibHandle LoadLibraryChecked(const std::string& Name) {
  Platform::TLibHandle Lib = Platform::LoadLibraryByName(Name);
  if (!Lib) throw Exception(Format("Can not load library \"%s\"", Name.c_str()));
  return Lib;
}

void* GetProcAddressChecked(Platform::TLibHandle Lib, const std::string& Name) {
  void* Proc = Platform::LibrarySymbol(Lib, Name);
  if (!Proc) throw Exception(Format("Unable to locate symbol \"%s\"", Name.c_str()));
  return Proc;
}
