// Events on Windows: the kernel's own objects, waited for with
// WaitForSingleObject and WaitForMultipleObjects, whose semantics these are
// (the first signalled object wins).

#include <windows.h>

#include "platform/exception.h"
#include "platform/handle_win32.h"
#include "platform/sync.h"

namespace Platform {

namespace {

DWORD Milliseconds(uint32_t TimeoutMs) { return TimeoutMs == WaitInfinite ? INFINITE : TimeoutMs; }

// A kernel object just created, or the failure to create it.
HANDLE Created(HANDLE H, const char* What) {
  if (!H) throw Exception(Format("Cannot create %s (error %lu)", What, GetLastError()));
  return H;
}

bool Signalled(HANDLE H, uint32_t TimeoutMs) { return WaitForSingleObject(H, Milliseconds(TimeoutMs)) == WAIT_OBJECT_0; }

}  // namespace

void Detail::UseSharedWakeWord(bool) {}

// ---- TEvent

struct TEvent::TImpl {
  TImpl(bool Manual, bool Initial)
      : ManualReset(Manual), Handle(Created(CreateEventW(nullptr, Manual, Initial, nullptr), "an event")) {}
  const bool ManualReset;
  const THandle Handle;
};

TEvent::TEvent(bool ManualReset, bool InitiallySignalled)
    : FImpl(std::make_unique<TImpl>(ManualReset, InitiallySignalled)) {}

TEvent::~TEvent() = default;

void TEvent::Set() { SetEvent(FImpl->Handle.Get()); }

void TEvent::Reset() { ResetEvent(FImpl->Handle.Get()); }

bool TEvent::Wait(uint32_t TimeoutMs) { return Signalled(FImpl->Handle.Get(), TimeoutMs); }

bool TEvent::IsSet() {
  if (!Signalled(FImpl->Handle.Get(), 0)) return false;
  // The test consumed an auto reset event's signal: it is given back.
  if (!FImpl->ManualReset) SetEvent(FImpl->Handle.Get());
  return true;
}

TWaitResult WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs) {
  const HANDLE Handles[2] = {First.FImpl->Handle.Get(), Second.FImpl->Handle.Get()};
  // The system takes no handle twice in one wait.
  const DWORD Count = Handles[0] == Handles[1] ? 1 : 2;
  const DWORD R = WaitForMultipleObjects(Count, Handles, FALSE, Milliseconds(TimeoutMs));
  if (R == WAIT_OBJECT_0) return TWaitResult::First;
  if (R == WAIT_OBJECT_0 + 1) return TWaitResult::Second;
  return TWaitResult::TimedOut;
}

}  // namespace Platform
