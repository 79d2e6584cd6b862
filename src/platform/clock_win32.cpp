#include "platform/clock.h"

#include <windows.h>

namespace Platform {

uint32_t TickCount() { return GetTickCount(); }

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
