#include "platform/machine.h"

#include <windows.h>

#include <memory>
#include <type_traits>

namespace Platform {

namespace {
struct TKeyClose {
  void operator()(HKEY Key) const { RegCloseKey(Key); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyClose>;
}  // namespace

std::string MachineIdentity() {
  // Set up with the system and kept until it is installed anew; the 64-bit
  // view, so that a 32-bit build would read the same value.
  HKEY Opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    &Opened) != ERROR_SUCCESS)
    return {};
  const TKey Key(Opened);
  char Buf[128];
  DWORD Size = sizeof(Buf) - 1;
  DWORD Type = 0;
  if (RegQueryValueExA(Key.get(), "MachineGuid", nullptr, &Type, reinterpret_cast<BYTE*>(Buf), &Size) != ERROR_SUCCESS ||
      Type != REG_SZ)
    return {};
  // The stored value may or may not end in a null.
  std::string Text(Buf, Size);
  while (!Text.empty() && Text.back() == '\0') Text.pop_back();
  return Text;
}

}  // namespace Platform
