#pragma once
// Libraries loaded at run time.

#include <string>
#include <utility>

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

// A loaded library, the one owner of its handle: freed when the object goes.
class TDynLib {
public:
  TDynLib() = default;
  explicit TDynLib(TLibHandle Handle) noexcept : FHandle(Handle) {}
  ~TDynLib() { Reset(); }
  TDynLib(TDynLib&& Other) noexcept : FHandle(std::exchange(Other.FHandle, nullptr)) {}
  TDynLib& operator=(TDynLib&& Other) noexcept {
    if (this != &Other) {
      Reset();
      FHandle = std::exchange(Other.FHandle, nullptr);
    }
    return *this;
  }
  TDynLib(const TDynLib&) = delete;
  TDynLib& operator=(const TDynLib&) = delete;

  // As LoadLibraryByName; empty when the library could not be loaded.
  static TDynLib Load(const std::string& Name) { return TDynLib(LoadLibraryByName(Name)); }

  explicit operator bool() const { return FHandle != nullptr; }
  // The address of an export, or nullptr (also when empty).
  void* Symbol(const std::string& Name) const { return LibrarySymbol(FHandle, Name); }
  // Frees the library now; the object is empty afterwards.
  void Reset() noexcept {
    if (FHandle) FreeLibraryHandle(std::exchange(FHandle, nullptr));
  }

private:
  TLibHandle FHandle = nullptr;
};

}  // namespace Platform
