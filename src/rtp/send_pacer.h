#pragma once
// TSendPacer: whether one more packet of a stream that should leave one per
// packet time may leave now. A capture device, or the session thread itself,
// can stand still for a while (a stopped process, a frozen machine) and then
// hand over a backlog at once; a peer must never get that as a burst. The
// pacer lets at most Burst packets leave together, and otherwise no more than
// the stream's rate, with a little room for a device clock that runs fast.

#include <algorithm>
#include <chrono>
#include <cstdint>

class TSendPacer {
public:
  using TClock = std::chrono::steady_clock;

  // Period: the playing time of one packet. Starts with the whole burst allowed.
  void Reset(std::chrono::microseconds Period, int32_t Burst, TClock::time_point Now) {
    FPeriod = std::max<int64_t>(Period.count(), 1);
    FMaxCredit = FPeriod * std::max<int32_t>(Burst, 1);
    FCredit = FMaxCredit;
    FLast = Now;
  }

  // True when one more packet may leave at Now, which is then counted.
  bool Take(TClock::time_point Now) {
    const int64_t Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Now - FLast).count();
    if (Elapsed > 0) {
      FLast = Now;
      // Time counts 1/32 faster than it runs: a sound card clock that runs
      // fast by far less than that never loses a packet here.
      FCredit = std::min(FMaxCredit, FCredit + Elapsed + Elapsed / 32);
    }
    if (FCredit < FPeriod) return false;
    FCredit -= FPeriod;
    return true;
  }

private:
  int64_t FPeriod = 1;     // microseconds
  int64_t FMaxCredit = 1;  // microseconds: Burst packets
  int64_t FCredit = 1;     // microseconds of packets that may leave now
  TClock::time_point FLast{};
};
