#include "transport/cross_lib.h"

#include "platform/exception.h"

Platform::TDynLib LoadLibraryChecked(const std::string& Name) {
  Platform::TDynLib Lib = Platform::TDynLib::Load(Name);
  if (!Lib) throw Exception(Format("Can not load library \"%s\"", Name.c_str()));
  return Lib;
}

void* GetProcAddressChecked(const Platform::TDynLib& Lib, const std::string& Name) {
  void* Proc = Lib.Symbol(Name);
  if (!Proc) throw Exception(Format("Unable to locate symbol \"%s\"", Name.c_str()));
  return Proc;
}
