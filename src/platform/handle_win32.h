#pragma once
// One kernel object's handle, closed with its owner (Windows only). Both of
// the API's failure values mean "none": NULL (CreateEvent, CreateSemaphore)
// and INVALID_HANDLE_VALUE (CreateFile, CreateToolhelp32Snapshot).

#include <windows.h>

namespace Platform {

class THandle {
public:
  explicit THandle(HANDLE H) : FHandle(H) {}
  ~THandle() {
    if (Valid()) CloseHandle(FHandle);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return FHandle; }
  bool Valid() const { return FHandle != nullptr && FHandle != INVALID_HANDLE_VALUE; }

private:
  const HANDLE FHandle;
};

}  // namespace Platform
