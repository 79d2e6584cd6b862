#pragma once
// Kernel-object style synchronisation for the program's threads: events and a
// wait for either of two events. Each system gets its cheapest native
// primitive behind this one interface: futexes on Linux (sync_posix.cpp), the
// kernel's events with WaitForMultipleObjects on Windows (sync_win32.cpp). A
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

namespace Detail {
// Linux: waits for two objects as kernels before 5.16 must (one process-wide
// word that every change announces) instead of the kernel's two-word wait.
// For the tests of that path; not for production code.
void UseSharedWakeWord(bool Use);
}  // namespace Detail

}  // namespace Platform
