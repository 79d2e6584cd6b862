// Events on Linux futexes. Each event is one 32-bit word: its signal above
// bit 0 and in bit 0 the mark that a thread may be asleep on it. A waiter sets
// the mark before it sleeps; a change clears it and calls the kernel only when
// it was set. So a hand-over to a thread that is busy, or a test of an object,
// is a few atomic operations and no system call. A thread waiting for either of two objects
// sleeps on both words at once (futex_waitv, Linux 5.16); older kernels fall
// back to one process-wide word that every change announces while such a
// waiter exists.
//
// The state lives in the atomic word, so the atomics' own ordering hands
// over what was written before a change (and the thread sanitizer sees it);
// the system calls only put threads to sleep and wake them. A waker touches
// nothing of the object after the change but the word's address, in a wake
// call the kernel tolerates on freed memory: a waiter may free the object as
// soon as it has seen the change.

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/sync.h"

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

namespace Platform {

namespace {

using TWord = std::atomic<uint32_t>;
static_assert(sizeof(TWord) == sizeof(uint32_t) && TWord::is_always_lock_free);

constexpr uint32_t Sleeper = 1;   // bit 0: a thread may sleep on the word
constexpr uint32_t Signalled = 2;  // an event's state

uint32_t* Address(TWord& W) { return reinterpret_cast<uint32_t*>(&W); }

// The end of a wait: an absolute monotonic time, or none for an endless wait.
class TDeadline {
public:
  explicit TDeadline(uint32_t TimeoutMs) : FEndless(TimeoutMs == WaitInfinite) {
    if (FEndless) return;
    clock_gettime(CLOCK_MONOTONIC, &FAt);
    FAt.tv_sec += static_cast<time_t>(TimeoutMs / 1000);
    FAt.tv_nsec += static_cast<long>(TimeoutMs % 1000) * 1000000L;
    if (FAt.tv_nsec >= 1000000000L) {
      FAt.tv_sec += 1;
      FAt.tv_nsec -= 1000000000L;
    }
  }
  const timespec* Get() const { return FEndless ? nullptr : &FAt; }

private:
  const bool FEndless;
  timespec FAt{};
};

// Sleeps while W holds Seen, until Deadline (absolute, monotonic; none when
// null). True unless the deadline passed.
bool FutexWait(TWord& W, uint32_t Seen, const timespec* Deadline) {
  const long R = syscall(SYS_futex, Address(W), FUTEX_WAIT_BITSET_PRIVATE, Seen, Deadline, nullptr,
                         FUTEX_BITSET_MATCH_ANY);
  return R == 0 || errno != ETIMEDOUT;
}

void FutexWakeAll(TWord& W) { syscall(SYS_futex, Address(W), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0); }

// The fallback for kernels without the two-word wait.
std::atomic<bool> GUseWaitv{true};
TWord GSharedWord{0};                  // bumped by every change while a shared waiter exists
std::atomic<uint32_t> GSharedWaiters{0};  // threads asleep (or about to be) on GSharedWord

// After a change of a word whose value before the change was Old.
void Announce(TWord& W, uint32_t Old) {
  if (Old & Sleeper) FutexWakeAll(W);
  if (GSharedWaiters.load() > 0) {
    GSharedWord.fetch_add(1);
    FutexWakeAll(GSharedWord);
  }
}

// Runs TryOnce until it succeeds or the time-out passes, sleeping on W between
// attempts. The mark is set before each attempt, so a change after a failed
// attempt either finds it (and wakes the sleeper) or alters the word (and the
// kernel does not let the thread sleep).
template <typename TTry>
bool WaitOne(TWord& W, uint32_t TimeoutMs, TTry TryOnce) {
  if (TryOnce()) return true;
  if (TimeoutMs == 0) return false;
  const TDeadline Until(TimeoutMs);
  for (;;) {
    const uint32_t Seen = W.fetch_or(Sleeper) | Sleeper;
    if (TryOnce()) return true;
    if (!FutexWait(W, Seen, Until.Get())) return TryOnce();
  }
}

// The same for two words (which may be one): asleep on both at once.
template <typename TTry>
bool WaitTwo(TWord& A, TWord& B, uint32_t TimeoutMs, TTry TryOnce) {
  if (&A == &B) return WaitOne(A, TimeoutMs, TryOnce);
  if (TryOnce()) return true;
  if (TimeoutMs == 0) return false;
  const TDeadline Until(TimeoutMs);
  for (;;) {
    if (GUseWaitv.load(std::memory_order_relaxed)) {
      futex_waitv Words[2] = {};
      Words[0].val = A.fetch_or(Sleeper) | Sleeper;
      Words[1].val = B.fetch_or(Sleeper) | Sleeper;
      if (TryOnce()) return true;
      Words[0].uaddr = reinterpret_cast<uintptr_t>(Address(A));
      Words[1].uaddr = reinterpret_cast<uintptr_t>(Address(B));
      Words[0].flags = Words[1].flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
      if (syscall(SYS_futex_waitv, Words, 2u, 0u, Until.Get(), CLOCK_MONOTONIC) >= 0) continue;
      const int Error = errno;
      if (Error == ETIMEDOUT) return TryOnce();
      // Anything but a changed word or a signal: no such call here (an older
      // kernel, a system call filter).
      if (Error != EAGAIN && Error != EINTR) GUseWaitv.store(false);
    } else {
      GSharedWaiters.fetch_add(1);
      const uint32_t Seen = GSharedWord.load();
      const bool Done = TryOnce();
      const bool InTime = Done || FutexWait(GSharedWord, Seen, Until.Get());
      GSharedWaiters.fetch_sub(1);
      if (Done) return true;
      if (!InTime) return TryOnce();
    }
  }
}

}  // namespace

void Detail::UseSharedWakeWord(bool Use) { GUseWaitv.store(!Use); }

// ---- TEvent

struct TEvent::TImpl {
  TImpl(bool Manual, bool Initial) : ManualReset(Manual), Word(Initial ? Signalled : 0) {}

  // Consumes the signal when set (auto reset) and tells whether it was set.
  bool TryConsume() {
    uint32_t Old = Word.load();
    if (ManualReset) return Old & Signalled;
    while (Old & Signalled)
      if (Word.compare_exchange_weak(Old, Old & ~Signalled)) return true;
    return false;
  }

  const bool ManualReset;
  TWord Word;
};

TEvent::TEvent(bool ManualReset, bool InitiallySignalled)
    : FImpl(std::make_unique<TImpl>(ManualReset, InitiallySignalled)) {}

TEvent::~TEvent() = default;

void TEvent::Set() {
  TWord& W = FImpl->Word;
  // Clears the mark: every sleeper wakes and sets it again if it sleeps on.
  const uint32_t Old = W.exchange(Signalled);
  if (Old != Signalled) Announce(W, Old);
}

void TEvent::Reset() { FImpl->Word.fetch_and(~Signalled); }

bool TEvent::Wait(uint32_t TimeoutMs) {
  return WaitOne(FImpl->Word, TimeoutMs, [this] { return FImpl->TryConsume(); });
}

bool TEvent::IsSet() { return FImpl->Word.load() & Signalled; }

TWaitResult WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs) {
  TWaitResult Result = TWaitResult::TimedOut;
  WaitTwo(First.FImpl->Word, Second.FImpl->Word, TimeoutMs, [&] {
    if (First.FImpl->TryConsume()) {
      Result = TWaitResult::First;
      return true;
    }
    if (Second.FImpl->TryConsume()) {
      Result = TWaitResult::Second;
      return true;
    }
    return false;
  });
  return Result;
}

}  // namespace Platform
