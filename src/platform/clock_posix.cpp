#include "platform/clock.h"

#include <ctime>

namespace Platform {

uint32_t TickCount() {
  timespec Ts{};
  clock_gettime(CLOCK_MONOTONIC, &Ts);
  const uint64_t Ms = static_cast<uint64_t>(Ts.tv_sec) * 1000u + static_cast<uint64_t>(Ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(Ms);
}

TLocalTime SystemLocalNow() {
  timespec Ts{};
  clock_gettime(CLOCK_REALTIME, &Ts);
  tm Parts{};
  localtime_r(&Ts.tv_sec, &Parts);
  TLocalTime T;
  T.Year = Parts.tm_year + 1900;
  T.Month = Parts.tm_mon + 1;
  T.Day = Parts.tm_mday;
  T.Hour = Parts.tm_hour;
  T.Minute = Parts.tm_min;
  T.Second = Parts.tm_sec;
  T.Millisecond = static_cast<int>(Ts.tv_nsec / 1000000);
  return T;
}

TFineTimers::TFineTimers() = default;
TFineTimers::~TFineTimers() = default;

void SleepMs(uint32_t Ms) {
  timespec Ts{static_cast<time_t>(Ms / 1000), static_cast<long>(Ms % 1000) * 1000000L};
  while (nanosleep(&Ts, &Ts) != 0) {
  }
}

}  // namespace Platform
