#pragma once
// One service-manager or service handle, closed with its owner (Windows only).

#include <windows.h>

namespace Platform {

class TScHandle {
public:
  explicit TScHandle(SC_HANDLE H) : FHandle(H) {}
  ~TScHandle() {
    if (FHandle) CloseServiceHandle(FHandle);
  }
  TScHandle(const TScHandle&) = delete;
  TScHandle& operator=(const TScHandle&) = delete;
  SC_HANDLE Get() const { return FHandle; }
  explicit operator bool() const { return FHandle != nullptr; }

private:
  SC_HANDLE FHandle;
};

}  // namespace Platform
