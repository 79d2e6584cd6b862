// Events and semaphores on Windows: the kernel's own objects, waited for with
// WaitForSingleObject and WaitForMultipleObjects, whose semantics these are
// (the first signalled object wins; a wait for all takes both or nothing).

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

// ---- TSemaphore

struct TSemaphore::TImpl {
  TImpl(int32_t Initial, int32_t Maximum)
      : Maximum(Maximum), Handle(Created(CreateSemaphoreW(nullptr, Initial, Maximum, nullptr), "a semaphore")) {}
  const int32_t Maximum;
  const THandle Handle;
};

TSemaphore::TSemaphore(int32_t InitialCount, int32_t MaximumCount)
    : FImpl((Detail::CheckSemaphoreCounts(InitialCount, MaximumCount),
             std::make_unique<TImpl>(InitialCount, MaximumCount))) {}

TSemaphore::~TSemaphore() = default;

bool TSemaphore::Release(int32_t* PreviousCount) {
  LONG Previous = 0;
  if (ReleaseSemaphore(FImpl->Handle.Get(), 1, &Previous)) {
    if (PreviousCount) *PreviousCount = Previous;
    return true;
  }
  // Refused: the count is at its maximum.
  if (PreviousCount) *PreviousCount = FImpl->Maximum;
  return false;
}

bool TSemaphore::TryTake() { return Take(0); }

bool TSemaphore::Take(uint32_t TimeoutMs) { return Signalled(FImpl->Handle.Get(), TimeoutMs); }

int32_t TSemaphore::Count() {
  // The system tells a count only on a release: one count is taken and given back.
  if (!Signalled(FImpl->Handle.Get(), 0)) return 0;
  LONG Previous = 0;
  ReleaseSemaphore(FImpl->Handle.Get(), 1, &Previous);
  return Previous + 1;
}

bool TakeBoth(TSemaphore& First, TSemaphore& Second, uint32_t TimeoutMs) {
  const HANDLE A = First.FImpl->Handle.Get(), B = Second.FImpl->Handle.Get();
  if (A != B) {
    const HANDLE Handles[2] = {A, B};
    return WaitForMultipleObjects(2, Handles, TRUE, Milliseconds(TimeoutMs)) < WAIT_OBJECT_0 + 2;
  }
  // Two counts of one semaphore: the system has no such wait. The first count
  // is given back when the second does not come in time.
  const DWORD Start = GetTickCount();
  if (!Signalled(A, TimeoutMs)) return false;
  const DWORD Spent = GetTickCount() - Start;
  const uint32_t Left = TimeoutMs == WaitInfinite ? WaitInfinite : TimeoutMs > Spent ? TimeoutMs - Spent : 0;
  if (Signalled(A, Left)) return true;
  ReleaseSemaphore(A, 1, nullptr);
  return false;
}

}  // namespace Platform
