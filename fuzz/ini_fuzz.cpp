// Any bytes as an INI file: the reader must neither crash nor read out of bounds,
// and what it returns must keep its limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  const TIniFile Ini = TIniFile::FromText(Text);
  for (const char* Key : {"DoLog", "LocalIP", "LocalPort", "RecDeviceID", "q", ""}) {
    const std::string V = Ini.ReadString("Options", Key, "default");
    if (V.size() > TIniFile::MaxValueLength) std::abort();
    Ini.ReadInteger("options", Key, 7);
    Ini.ReadBool("", Key, true);
  }
  int32_t Value = 0;
  TIniFile::ParseInteger(Text, Value);
  return 0;
}
