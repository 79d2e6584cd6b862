#pragma once
// Kernel-object style synchronisation for the program's threads: events,
// counting semaphores, a wait for either of two events and an atomic take from
// two semaphores. One portable implementation (standard library) serves both
// systems, so both run the code the sanitizers have checked.
//
// Lock order inside this unit: an object's own lock, then a waiter's lock. A
// multi-object waiter never holds its own lock while it takes an object's lock.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Platform {

// Time-out value that never expires.
inline constexpr uint32_t WaitInfinite = 0xFFFFFFFFu;

namespace Detail {
// One thread waiting on several objects at once; every object it waits on
// flags it when its state changes.
struct TWaiter {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Flagged = false;  // guarded by Lock
};

// What events and semaphores share: their lock, the single-object waiters'
// condition and the list of multi-object waiters.
class TSyncObject {
public:
  TSyncObject() = default;
  TSyncObject(const TSyncObject&) = delete;
  TSyncObject& operator=(const TSyncObject&) = delete;

  void AddWaiter(TWaiter* W);
  void RemoveWaiter(TWaiter* W);

protected:
  // Wakes every waiter; called with FLock held after the state changed.
  void NotifyLocked();

  std::mutex FLock;
  std::condition_variable FChanged;  // waits on FLock
  std::vector<TWaiter*> FWaiters;    // guarded by FLock
};
}  // namespace Detail

// An event: manual reset (stays signalled until Reset) or auto reset (one
// successful wait consumes the signal).
enum class TWaitResult { First, Second, TimedOut };

class TEvent : public Detail::TSyncObject {
public:
  TEvent(bool ManualReset, bool InitiallySignalled);

  void Set();
  void Reset();
  // True when the event was (or became) signalled within TimeoutMs; an auto
  // reset event is then non-signalled again. A time-out of 0 only tests.
  bool Wait(uint32_t TimeoutMs);
  // The state as it is now, without consuming it.
  bool IsSet();

private:
  // Consumes the signal when set (auto reset) and tells whether it was set.
  bool TryConsume();
  friend TWaitResult WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs);

  const bool FManualReset;
  bool FSignalled;  // guarded by FLock
};

// Waits until either event is signalled, at most TimeoutMs. When both are, the
// first one wins (and only it is consumed, if auto reset).
TWaitResult WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs);

// A counting semaphore with a maximum count.
class TSemaphore : public Detail::TSyncObject {
public:
  TSemaphore(int32_t InitialCount, int32_t MaximumCount);

  // Raises the count by one. False (and nothing changes) when the count is at
  // its maximum. PreviousCount, when given, receives the count before the call.
  bool Release(int32_t* PreviousCount = nullptr);
  // Takes one count if there is one, without waiting.
  bool TryTake();
  // Takes one count, waiting at most TimeoutMs for it.
  bool Take(uint32_t TimeoutMs);
  // The count now (for diagnostics and tests; it may change at once).
  int32_t Count();

private:
  // One attempt of TakeBoth, under both locks.
  static bool TryTakeBoth(TSemaphore& First, TSemaphore& Second);
  friend bool TakeBoth(TSemaphore& First, TSemaphore& Second, uint32_t TimeoutMs);

  const int32_t FMaximum;
  int32_t FCount;  // guarded by FLock
};

// Takes one count from each semaphore in one atomic step, waiting at most
// TimeoutMs until both have one; on time-out neither is touched. Passing the
// same semaphore twice takes two counts from it.
bool TakeBoth(TSemaphore& First, TSemaphore& Second, uint32_t TimeoutMs);

}  // namespace Platform
