#include "platform/resources.h"

#include <windows.h>

#include <vector>

#include "platform/paths.h"

namespace Platform {

bool LoadResourceBytes(const std::string& Name, const std::string& Type, std::string& Bytes) {
  HRSRC Info = FindResourceA(nullptr, Name.c_str(), Type.c_str());
  if (!Info) return false;
  HGLOBAL Res = LoadResource(nullptr, Info);
  if (!Res) return false;
  const void* Data = LockResource(Res);
  const DWORD Size = SizeofResource(nullptr, Info);
  if (!Data && Size) return false;
  Bytes.assign(static_cast<const char*>(Data), Size);
  return true;
}

std::string ReadVersionText() {
  const std::string Path = ExePath();
  DWORD Dummy = 0;
  const DWORD Size = GetFileVersionInfoSizeA(Path.c_str(), &Dummy);
  if (Size == 0) return {};
  std::vector<char> Info(Size);
  if (!GetFileVersionInfoA(Path.c_str(), 0, Size, Info.data())) return {};
  VS_FIXEDFILEINFO* Fixed = nullptr;
  UINT Len = 0;
  if (!VerQueryValueA(Info.data(), "\\", reinterpret_cast<void**>(&Fixed), &Len) || !Fixed)
    return {};
  char Text[64];
  wsprintfA(Text, "%d.%d.%d.%d", HIWORD(Fixed->dwFileVersionMS), LOWORD(Fixed->dwFileVersionMS),
            HIWORD(Fixed->dwFileVersionLS), LOWORD(Fixed->dwFileVersionLS));
  return Text;
}

}  // namespace Platform
