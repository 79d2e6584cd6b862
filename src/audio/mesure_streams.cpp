#include "audio/mesure_streams.h"

#include <charconv>

#include "log/log.h"
#include "platform/clock.h"

namespace {

// Fixed notation with two decimals and a point, whatever the C locale says.
std::string Fixed2(long double V) {
  char Buf[64];
  const auto R = std::to_chars(Buf, Buf + sizeof(Buf), V, std::chars_format::fixed, 2);
  return R.ec == std::errc() ? std::string(Buf, R.ptr) : std::string("0.00");
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
