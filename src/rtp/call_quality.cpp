#include "rtp/call_quality.h"

#include <chrono>

namespace {
int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What became of a datagram, as the statistics count it; nothing for one that
// is no RTP of this stream at all.
std::optional<TPacketFate> ArrivalOf(const TRtpDatagramInfo& Info, TRtpVerdict Verdict) {
  if (!Info.HeaderInside || Verdict == TRtpVerdict::Version) return std::nullopt;
  switch (Verdict) {
    case TRtpVerdict::Accepted: return TPacketFate::Played;
    case TRtpVerdict::Repeat: return TPacketFate::Repeat;
    case TRtpVerdict::Late: return TPacketFate::Late;
    default: return TPacketFate::Refused;
  }
}
}  // namespace

void TCallQuality::Begin(int32_t ClientId, const std::string& Address, int32_t Port) {
  auto Call = std::make_unique<TCall>();
  Call->Address = Address;
  Call->Port = static_cast<uint16_t>(Port);
  Call->Start = std::chrono::system_clock::now();
  Call->StartUs = SteadyUs();
  Call->Stats.Start(Call->StartUs);
  Platform::TLockGuard Guard(FLock);
  FCalls[ClientId] = std::move(Call);
}

void TCallQuality::Packet(int32_t ClientId, const TRtpDatagramInfo& Info, TRtpVerdict Verdict) {
  const std::optional<TPacketFate> Kind = ArrivalOf(Info, Verdict);
  if (!Kind) return;
  const int64_t Now = SteadyUs();
  Platform::TLockGuard Guard(FLock);
  const auto It = FCalls.find(ClientId);
  if (It == FCalls.end()) return;
  TReceiveStats& Stats = It->second->Stats;
  Stats.Advance(Now);
  Stats.OnPacket(Info.Ssrc, Info.SequenceNumber, Info.Timestamp, Now, *Kind);
}

std::optional<TCallRecord> TCallQuality::End(int32_t ClientId) {
  std::unique_ptr<TCall> Call;
  {
    Platform::TLockGuard Guard(FLock);
    const auto It = FCalls.find(ClientId);
    if (It == FCalls.end()) return std::nullopt;
    Call = std::move(It->second);
    FCalls.erase(It);
  }
  const int64_t Now = SteadyUs();
  TCallRecord Record;
  Record.PeerIp = Call->Address;
  Record.PeerPort = Call->Port;
  Record.Start = Call->Start;
  Record.DurationS = static_cast<double>(Now - Call->StartUs) / 1e6;
  Record.Figures = CallFiguresOf(Call->Stats.Finish(Now).Call);
  return Record;
}

void TCallQuality::Clear() {
  Platform::TLockGuard Guard(FLock);
  FCalls.clear();
}
