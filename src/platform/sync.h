#pragma once
// Kernel-object style synchronisation for the program's threads: events,
// counting semaphores, a wait for either of two events and an atomic take from
// two semaphores. One portable implementation (standard library) serves both
// systems, so both run the code the sanitizers have checked.
//
// Lock order inside this unit: a thread holds one lock at a time, except that
// TakeBoth holds both semaphores' locks (taken together). A state change is
// announced after the object's lock is released.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Platform {

// Time-out value that never expires.
inline constexpr uint32_t WaitInfinite = 0xFFFFFFFFu;

namespace Detail {
// One thread waiting on several objects at once; every object it waits on
// flags it when its state changes. Shared, so that a thread waking it may still
// hold it after the wait has ended.
struct TWaiter {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Flagged = false;  // guarded by Lock
};

// The waiters one state change wakes: gathered under the object's lock, woken
// after it is released, so that a woken thread (the session thread runs at a
// realtime priority and takes the CPU at once) never blocks on a lock that its
// waker still holds.
class TWakeList {
public:
  void Add(const std::shared_ptr<TWaiter>& W);
  // Flags every gathered waiter and wakes it.
  void Wake();

private:
  static constexpr size_t Inline = 2;  // one waiter per object is the rule
  std::array<std::shared_ptr<TWaiter>, Inline> FFirst;
  size_t FCount = 0;
  std::vector<std::shared_ptr<TWaiter>> FMore;
};

// What events and semaphores share: their lock, the single-object waiters'
// condition and the list of multi-object waiters.
class TSyncObject {
public:
  TSyncObject() = default;
  TSyncObject(const TSyncObject&) = delete;
  TSyncObject& operator=(const TSyncObject&) = delete;

  void AddWaiter(const std::shared_ptr<TWaiter>& W);
  void RemoveWaiter(const TWaiter* W);

protected:
  // After a state change, with FLock held: wakes the single-object waiters
  // and gathers the multi-object ones, to be woken once FLock is released.
  void NotifyLocked(TWakeList& Wake);

  std::mutex FLock;
  std::condition_variable FChanged;  // waits on FLock
  std::vector<std::shared_ptr<TWaiter>> FWaiters;  // guarded by FLock
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
