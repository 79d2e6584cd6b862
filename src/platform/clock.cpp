#include "platform/clock.h"

#include <atomic>

namespace Platform {
namespace {
std::atomic<TLocalTimeSource> TimeSource{nullptr};

// Days from the civil date to 1970-01-01 (proleptic Gregorian).
long DaysFromCivil(int Y, int M, int D) {
  Y -= M <= 2;
  const long Era = (Y >= 0 ? Y : Y - 399) / 400;
  const long Yoe = Y - Era * 400;
  const long Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const long Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + Doe - 719468;
}
}  // namespace

TLocalTime SystemLocalNow();  // backend

TLocalTime LocalNow() {
  if (const TLocalTimeSource Source = TimeSource.load()) return Source();
  return SystemLocalNow();
}

void SetLocalTimeSource(TLocalTimeSource Source) { TimeSource.store(Source); }

double ToOleDate(const TLocalTime& T) {
  const long Days = DaysFromCivil(T.Year, T.Month, T.Day) - DaysFromCivil(1899, 12, 30);
  const double Fraction =
      (((T.Hour * 60.0 + T.Minute) * 60.0 + T.Second) * 1000.0 + T.Millisecond) / 86400000.0;
  return static_cast<double>(Days) + Fraction;
}

}  // namespace Platform
