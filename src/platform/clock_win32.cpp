#include "platform/clock.h"

#include <windows.h>

#include <mmsystem.h>

namespace Platform {

// Milliseconds since the system started, like GetTickCount, but as accurate
// as the timer resolution asked for (TFineTimers).
uint32_t TickCount() { return timeGetTime(); }

TFineTimers::TFineTimers() { timeBeginPeriod(1); }
TFineTimers::~TFineTimers() { timeEndPeriod(1); }

TLocalTime SystemLocalNow() {
  SYSTEMTIME St{};
  GetLocalTime(&St);
  TLocalTime T;
  T.Year = St.wYear;
  T.Month = St.wMonth;
  T.Day = St.wDay;
  T.Hour = St.wHour;
  T.Minute = St.wMinute;
  T.Second = St.wSecond;
  T.Millisecond = St.wMilliseconds;
  return T;
}

void SleepMs(uint32_t Ms) { Sleep(Ms); }

}  // namespace Platform
