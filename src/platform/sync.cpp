#include "platform/sync.h"

#include <algorithm>
#include <chrono>

#include "platform/exception.h"

namespace Platform {
namespace {

using TClock = std::chrono::steady_clock;

// Waits on Cv (with Lock held) until Ready() or the time-out; the result is
// Ready() at the end, so a state reached just at the time-out still counts.
template <typename TLockType, typename TReady>
bool WaitOn(std::condition_variable& Cv, TLockType& Lock, uint32_t TimeoutMs, TReady Ready) {
  if (TimeoutMs == WaitInfinite) {
    Cv.wait(Lock, Ready);
    return true;
  }
  return Cv.wait_until(Lock, TClock::now() + std::chrono::milliseconds(TimeoutMs), Ready);
}

// Registers one waiter with two objects for the length of a multi-object wait.
class TWaiterRegistration {
public:
  TWaiterRegistration(const std::shared_ptr<Detail::TWaiter>& W, Detail::TSyncObject& A, Detail::TSyncObject& B)
      : FWaiter(W.get()), FA(A), FB(B) {
    FA.AddWaiter(W);
    if (&FB != &FA) FB.AddWaiter(W);
  }
  ~TWaiterRegistration() {
    FA.RemoveWaiter(FWaiter);
    if (&FB != &FA) FB.RemoveWaiter(FWaiter);
  }
  TWaiterRegistration(const TWaiterRegistration&) = delete;
  TWaiterRegistration& operator=(const TWaiterRegistration&) = delete;

private:
  const Detail::TWaiter* FWaiter;
  Detail::TSyncObject& FA;
  Detail::TSyncObject& FB;
};

// Each thread's waiter, made once: a thread waits on one thing at a time. A
// flag left over from an earlier wait only costs one more attempt.
const std::shared_ptr<Detail::TWaiter>& ThisThreadsWaiter() {
  thread_local const std::shared_ptr<Detail::TWaiter> W = std::make_shared<Detail::TWaiter>();
  return W;
}

// Runs TryOnce until it succeeds or the time-out passes. The waiter is flagged
// by every state change of A or B; its flag is cleared before each attempt, so
// a change between a failed attempt and the wait is never missed.
template <typename TTry>
bool WaitForTwo(Detail::TSyncObject& A, Detail::TSyncObject& B, uint32_t TimeoutMs, TTry TryOnce) {
  if (TryOnce()) return true;
  if (TimeoutMs == 0) return false;
  const std::shared_ptr<Detail::TWaiter>& Shared = ThisThreadsWaiter();
  Detail::TWaiter& W = *Shared;
  TWaiterRegistration Registration(Shared, A, B);
  const auto Deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> G(W.Lock);
      W.Flagged = false;
    }
    if (TryOnce()) return true;
    std::unique_lock<std::mutex> L(W.Lock);
    const auto Flagged = [&] { return W.Flagged; };
    if (TimeoutMs == WaitInfinite) {
      W.Changed.wait(L, Flagged);
    } else if (!W.Changed.wait_until(L, Deadline, Flagged)) {
      L.unlock();
      return TryOnce();
    }
  }
}

}  // namespace

namespace Detail {

void TWakeList::Add(const std::shared_ptr<TWaiter>& W) {
  if (FCount < Inline)
    FFirst[FCount++] = W;
  else
    FMore.push_back(W);
}

void TWakeList::Wake() {
  const auto WakeOne = [](TWaiter& W) {
    {
      std::lock_guard<std::mutex> G(W.Lock);
      W.Flagged = true;
    }
    W.Changed.notify_one();
  };
  for (size_t I = 0; I < FCount; ++I) WakeOne(*FFirst[I]);
  for (const auto& W : FMore) WakeOne(*W);
}

void TSyncObject::AddWaiter(const std::shared_ptr<TWaiter>& W) {
  std::lock_guard<std::mutex> G(FLock);
  FWaiters.push_back(W);
}

void TSyncObject::RemoveWaiter(const TWaiter* W) {
  std::lock_guard<std::mutex> G(FLock);
  FWaiters.erase(std::find_if(FWaiters.begin(), FWaiters.end(), [W](const auto& P) { return P.get() == W; }));
}

void TSyncObject::NotifyLocked(TWakeList& Wake) {
  // Under the lock: a single-object waiter may free the object once it wakes.
  FChanged.notify_all();
  for (const auto& W : FWaiters) Wake.Add(W);
}

}  // namespace Detail

// ---- TEvent

TEvent::TEvent(bool ManualReset, bool InitiallySignalled)
    : FManualReset(ManualReset), FSignalled(InitiallySignalled) {}

void TEvent::Set() {
  Detail::TWakeList Wake;
  {
    std::lock_guard<std::mutex> G(FLock);
    if (FSignalled) return;
    FSignalled = true;
    NotifyLocked(Wake);
  }
  Wake.Wake();
}

void TEvent::Reset() {
  std::lock_guard<std::mutex> G(FLock);
  FSignalled = false;
}

bool TEvent::Wait(uint32_t TimeoutMs) {
  std::unique_lock<std::mutex> L(FLock);
  if (!WaitOn(FChanged, L, TimeoutMs, [this] { return FSignalled; })) return false;
  if (!FManualReset) FSignalled = false;
  return true;
}

bool TEvent::IsSet() {
  std::lock_guard<std::mutex> G(FLock);
  return FSignalled;
}

bool TEvent::TryConsume() {
  std::lock_guard<std::mutex> G(FLock);
  if (!FSignalled) return false;
  if (!FManualReset) FSignalled = false;
  return true;
}

TWaitResult WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs) {
  TWaitResult Result = TWaitResult::TimedOut;
  WaitForTwo(First, Second, TimeoutMs, [&] {
    if (First.TryConsume()) {
      Result = TWaitResult::First;
      return true;
    }
    if (Second.TryConsume()) {
      Result = TWaitResult::Second;
      return true;
    }
    return false;
  });
  return Result;
}

// ---- TSemaphore

TSemaphore::TSemaphore(int32_t InitialCount, int32_t MaximumCount)
    : FMaximum(MaximumCount), FCount(InitialCount) {
  if (MaximumCount <= 0 || InitialCount < 0 || InitialCount > MaximumCount)
    throw Exception(Format("Invalid semaphore counts (initial %d, maximum %d)", InitialCount, MaximumCount));
}

bool TSemaphore::Release(int32_t* PreviousCount) {
  Detail::TWakeList Wake;
  {
    std::lock_guard<std::mutex> G(FLock);
    if (PreviousCount) *PreviousCount = FCount;
    if (FCount >= FMaximum) return false;
    ++FCount;
    NotifyLocked(Wake);
  }
  Wake.Wake();
  return true;
}

bool TSemaphore::TryTake() { return Take(0); }

bool TSemaphore::Take(uint32_t TimeoutMs) {
  std::unique_lock<std::mutex> L(FLock);
  if (!WaitOn(FChanged, L, TimeoutMs, [this] { return FCount > 0; })) return false;
  --FCount;
  return true;
}

int32_t TSemaphore::Count() {
  std::lock_guard<std::mutex> G(FLock);
  return FCount;
}

bool TSemaphore::TryTakeBoth(TSemaphore& First, TSemaphore& Second) {
  if (&First == &Second) {
    std::lock_guard<std::mutex> G(First.FLock);
    if (First.FCount < 2) return false;
    First.FCount -= 2;
    return true;
  }
  std::scoped_lock L(First.FLock, Second.FLock);
  if (First.FCount <= 0 || Second.FCount <= 0) return false;
  --First.FCount;
  --Second.FCount;
  return true;
}

bool TakeBoth(TSemaphore& First, TSemaphore& Second, uint32_t TimeoutMs) {
  return WaitForTwo(First, Second, TimeoutMs, [&] { return TSemaphore::TryTakeBoth(First, Second); });
}

}  // namespace Platform
