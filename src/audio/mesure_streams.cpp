#include "audio/mesure_streams.h"


#include "log/log.h"
#include "platform/clock.h"

namespace {

// Fixed notation with two decimals and a point, whatever the locale says (the
// C library's formatting of floating point follows the locale on some systems,
// even inside std::to_chars): whole hundredths, written as integers.
std::string Fixed2(long double V) {
  if (!(V >= 0) || V > 1e17L) V = 0;  // negative, NaN or beyond the counters' reach
  const unsigned long long Hundredths = static_cast<unsigned long long>(V * 100.0L + 0.5L);
  const unsigned long long Fraction = Hundredths % 100;
  return std::to_string(Hundredths / 100) + (Fraction < 10 ? ".0" : ".") + std::to_string(Fraction);
}

}  // namespace

TMesureStreams::TMesureStreams(uint32_t IntervalMs, TTickSource Tick)
    : FTick(std::move(Tick)), FInterval(IntervalMs), FStartTick(Now()) {}

uint32_t TMesureStreams::Now() const { return FTick ? FTick() : Platform::TickCount(); }

bool TMesureStreams::IsDue() { return static_cast<uint32_t>(Now() - FStartTick) >= FInterval; }

std::string TMesureStreams::ReportLine() const {
  // Divided by the nominal interval, not by the time that really passed. An
  // interval of 0 has no rate to give.
  const long double Seconds = static_cast<long double>(FInterval) / 1000.0L;
  const long double S = Seconds > 0 ? FSentBytes / Seconds : 0.0L;
  const long double R = Seconds > 0 ? FReceivedBytes / Seconds : 0.0L;
  return "Send AV[" + Fixed2(S) + " bps], Receive AV[" + Fixed2(R) + " bps]";
}

void TMesureStreams::Report() {
  WriteLogTo(ReportLine(), "measure");
  FSentBytes = 0;
  FReceivedBytes = 0;
  FStartTick = Now();
}
