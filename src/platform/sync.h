#pragma once
// Kernel-object style synchronisation for the program's threads: events,
// counting semaphores, a wait for either of two events and an atomic take from
// two semaphores. Each system gets its cheapest native primitive behind this
// one interface: futexes on Linux (sync_posix.cpp), the kernel's events and
// semaphores with WaitForMultipleObjects on Windows (sync_win32.cpp). A
// hand-over that finds nobody waiting stays in user space, and a wait that
// finds its object signalled or a time-out of 0 never enters the kernel.

#include <cstdint>
#include <memory>

namespace Platform {

// Time-out value that never expires.
inline constexpr uint32_t WaitInfinite = 0xFFFFFFFFu;

enum class TWaitResult { First, Second, TimedOut };

// An event: manual reset (stays signalled until Reset) or auto reset (one
// successful wait consumes the signal).
class TEvent {
public:
  TEvent(bool ManualReset, bool InitiallySignalled);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  // True when the event was (or became) signalled within TimeoutMs; an auto
  // reset event is then non-signalled again. A time-out of 0 only tests.
  bool Wait(uint32_t TimeoutMs);
  // The state as it is now, without consuming it.
  bool IsSet();

  struct TImpl;  // the system's object

private:
  friend TWaitResult WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs);
  const std::unique_ptr<TImpl> FImpl;
};

// Waits until either event is signalled, at most TimeoutMs. When both are, the
// first one wins (and only it is consumed, if auto reset).
TWaitResult WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs);

// A counting semaphore with a maximum count.
class TSemaphore {
public:
  TSemaphore(int32_t InitialCount, int32_t MaximumCount);
  ~TSemaphore();
  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;

  // Raises the count by one. False (and nothing changes) when the count is at
  // its maximum. PreviousCount, when given, receives the count before the call.
  bool Release(int32_t* PreviousCount = nullptr);
  // Takes one count if there is one, without waiting.
  bool TryTake();
  // Takes one count, waiting at most TimeoutMs for it.
  bool Take(uint32_t TimeoutMs);
  // The count now (for diagnostics and tests; it may change at once).
  int32_t Count();

  struct TImpl;  // the system's object

private:
  friend bool TakeBoth(TSemaphore& First, TSemaphore& Second, uint32_t TimeoutMs);
  const std::unique_ptr<TImpl> FImpl;
};

// Takes one count from each semaphore in one atomic step, waiting at most
// TimeoutMs until both have one; on time-out neither is touched. Passing the
// same semaphore twice takes two counts from it.
bool TakeBoth(TSemaphore& First, TSemaphore& Second, uint32_t TimeoutMs);

namespace Detail {
// Checks the arguments of a semaphore; raises Exception when they are invalid.
void CheckSemaphoreCounts(int32_t InitialCount, int32_t MaximumCount);
// Linux: waits for two objects as kernels before 5.16 must (one process-wide
// word that every change announces) instead of the kernel's two-word wait.
// For the tests of that path; not for production code.
void UseSharedWakeWord(bool Use);
}  // namespace Detail

}  // namespace Platform
