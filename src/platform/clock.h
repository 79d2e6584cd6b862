#pragma once
// Time: the 32-bit millisecond tick counter and the local wall clock.

#include <cstdint>

namespace Platform {

// Milliseconds since some fixed point; wraps after about 49.7 days. Compare two
// ticks only by unsigned subtraction.
uint32_t TickCount();

struct TLocalTime {
  int Year = 0, Month = 0, Day = 0;  // Month 1..12, Day 1..31
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// The current local date and time, to the millisecond.
TLocalTime LocalNow();

// Days since 30 December 1899 00:00 plus the fraction of the day (OLE date).
double ToOleDate(const TLocalTime& T);

// Test hook: while set, LocalNow returns this function's result instead of the
// system clock. Not for production code.
using TLocalTimeSource = TLocalTime (*)();
void SetLocalTimeSource(TLocalTimeSource Source);

void SleepMs(uint32_t Ms);

// While one lives, the system's timers (waits with a time-out, the tick count)
// are accurate to about a millisecond: Windows' default is 15.6 ms, too coarse
// for a thread that must wake a few milliseconds before a frame is due. Other
// systems are that accurate already.
class TFineTimers {
public:
  TFineTimers();
  ~TFineTimers();
  TFineTimers(const TFineTimers&) = delete;
  TFineTimers& operator=(const TFineTimers&) = delete;
};

}  // namespace Platform
