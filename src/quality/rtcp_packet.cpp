#include "quality/rtcp_packet.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

namespace {

using Platform::GetBE16;
using Platform::GetBE32;
using Platform::PutBE16;
using Platform::PutBE32;

constexpr uint32_t HeaderBytes = 4;
constexpr uint32_t BlockBytes = 24;
constexpr uint32_t SenderInfoBytes = 20;
constexpr uint8_t SdesEnd = 0;
constexpr uint8_t SdesCname = 1;

constexpr uint32_t RoundUp4(uint32_t N) { return (N + 3) & ~3u; }

// Writes packets one after another into a fixed buffer; once anything does
// not fit, nothing more is written and the whole is refused.
class TWriter {
public:
  explicit TWriter(std::span<uint8_t> Buffer) : FBuffer(Buffer) {}

  // Starts a packet whose content (after the 4-byte header) is Bytes long, a
  // multiple of 4, zero-filled; returns the content, or nullptr.
  uint8_t* Packet(uint8_t Type, uint8_t Count, uint32_t Bytes) {
    if (FFailed || Bytes / 4 > 0xFFFF || HeaderBytes + Bytes > FBuffer.size() - FLength) {
      FFailed = true;
      return nullptr;
    }
    uint8_t* P = FBuffer.data() + FLength;
    std::memset(P, 0, HeaderBytes + Bytes);
    P[0] = static_cast<uint8_t>(2 << 6 | Count);
    P[1] = Type;
    PutBE16(P + 2, static_cast<uint16_t>(Bytes / 4));
    FLength += HeaderBytes + Bytes;
    return P + HeaderBytes;
  }
  uint32_t Length() const { return FFailed ? 0 : static_cast<uint32_t>(FLength); }

private:
  std::span<uint8_t> FBuffer;
  size_t FLength = 0;
  bool FFailed = false;
};

void PutBlock(uint8_t* P, const TRtcpReportBlock& B) {
  const int32_t Lost = std::clamp<int32_t>(B.CumulativeLost, -0x800000, 0x7FFFFF);
  PutBE32(P, B.Ssrc);
  PutBE32(P + 4, static_cast<uint32_t>(B.FractionLost) << 24 | (static_cast<uint32_t>(Lost) & 0xFFFFFF));
  PutBE32(P + 8, B.ExtendedHighestSequence);
  PutBE32(P + 12, B.Jitter);
  PutBE32(P + 16, B.LastSr);
  PutBE32(P + 20, B.DelaySinceLastSr);
}

TRtcpReportBlock GetBlock(const uint8_t* P) {
  TRtcpReportBlock B;
  B.Ssrc = GetBE32(P);
  B.FractionLost = P[4];
  const uint32_t Lost = GetBE32(P + 4) & 0xFFFFFF;
  B.CumulativeLost = static_cast<int32_t>(Lost ^ 0x800000) - 0x800000;  // sign-extend 24 bits
  B.ExtendedHighestSequence = GetBE32(P + 8);
  B.Jitter = GetBE32(P + 12);
  B.LastSr = GetBE32(P + 16);
  B.DelaySinceLastSr = GetBE32(P + 20);
  return B;
}

// One packet of an accepted compound: its type and count, and its content
// between the header and the padding.
struct TPart {
  uint8_t Type;
  uint8_t Count;
  const uint8_t* Content;
  uint32_t Size;
};

// SR and RR. The blocks of a well-formed packet are all kept (as many as fit)
// or, when the packet is not well-formed, none of them.
bool ParseReport(const TPart& P, bool First, TRtcpCompound& Out, TRtcpCounters& Counters) {
  const uint32_t Fixed = 4 + (P.Type == RtcpSenderReport ? SenderInfoBytes : 0);
  if (First && P.Size >= 4) Out.SenderSsrc = GetBE32(P.Content);
  // Bytes after the blocks are a profile's extension: allowed and skipped.
  if (P.Size < Fixed + BlockBytes * P.Count) return false;
  if (First && P.Type == RtcpSenderReport)
    Out.Sender = TRtcpSenderInfo{static_cast<uint64_t>(GetBE32(P.Content + 4)) << 32 | GetBE32(P.Content + 8),
                                 GetBE32(P.Content + 12), GetBE32(P.Content + 16), GetBE32(P.Content + 20)};
  for (uint32_t I = 0; I < P.Count; ++I) {
    if (Out.BlockCount == TRtcpCompound::MaxBlocks) {
      Counters.DroppedItems += P.Count - I;
      break;
    }
    Out.Blocks[Out.BlockCount++] = GetBlock(P.Content + Fixed + BlockBytes * I);
  }
  return true;
}

// SDES: chunks of an SSRC and items, each chunk's list ended by a null octet
// and padded with more to the next 32-bit boundary.
bool ParseSdes(const TPart& P, TRtcpCompound& Out) {
  bool Found = false;
  uint32_t FoundSsrc = 0;
  const uint8_t* FoundText = nullptr;
  uint8_t FoundLength = 0;
  uint32_t At = 0;
  for (uint32_t Chunk = 0; Chunk < P.Count; ++Chunk) {
    if (P.Size - At < 4) return false;
    const uint32_t Ssrc = GetBE32(P.Content + At);
    At += 4;
    for (;;) {
      if (At >= P.Size) return false;
      const uint8_t Type = P.Content[At];
      if (Type == SdesEnd) break;
      if (P.Size - At < 2 || P.Size - At - 2 < P.Content[At + 1]) return false;
      const uint8_t Length = P.Content[At + 1];
      if (Type == SdesCname && !Found) {
        Found = true;
        FoundSsrc = Ssrc;
        FoundText = P.Content + At + 2;
        FoundLength = Length;
      }
      At += 2 + Length;
    }
    At = RoundUp4(At + 1);  // the null octet, then the padding (the content starts on a boundary)
    if (At > P.Size) return false;
  }
  if (Found && !Out.HasCname) {
    Out.HasCname = true;
    Out.CnameSsrc = FoundSsrc;
    Out.CnameLength = FoundLength;
    std::memcpy(Out.CnameBytes.data(), FoundText, FoundLength);
  }
  return true;
}

bool ParseBye(const TPart& P, TRtcpCompound& Out, TRtcpCounters& Counters) {
  const uint32_t Sources = 4u * P.Count;
  if (P.Size < Sources) return false;
  // The reason, when there is one, must lie inside the packet too.
  if (P.Size > Sources && P.Size - Sources - 1 < P.Content[Sources]) return false;
  for (uint32_t I = 0; I < P.Count; ++I) {
    if (Out.ByeCount == TRtcpCompound::MaxByeSources) {
      Counters.DroppedItems += P.Count - I;
      break;
    }
    Out.ByeSsrcs[Out.ByeCount++] = GetBE32(P.Content + 4 * I);
  }
  return true;
}

// Appendix A.2's checks over the whole datagram; a compound that fails any of
// them is not looked into at all.
TRtcpVerdict Validate(const uint8_t* Data, size_t Size) {
  if (Size < RtcpMinDatagramLength) return TRtcpVerdict::TooShort;
  if (Data[0] >> 6 != 2) return TRtcpVerdict::Version;
  if (Data[1] != RtcpSenderReport && Data[1] != RtcpReceiverReport) return TRtcpVerdict::NotReportFirst;
  size_t At = 0;
  while (At < Size) {
    if (Size - At < HeaderBytes) return TRtcpVerdict::Length;
    const uint8_t* P = Data + At;
    if (P[0] >> 6 != 2) return TRtcpVerdict::Version;
    const size_t Bytes = HeaderBytes + 4u * GetBE16(P + 2);
    if (Bytes > Size - At) return TRtcpVerdict::Length;
    At += Bytes;
    if ((P[0] & 0x20) != 0) {
      if (At != Size) return TRtcpVerdict::Padding;
      // The count includes itself and never reaches into the header.
      const uint8_t Count = Data[Size - 1];
      if (Count == 0 || Count > Bytes - HeaderBytes) return TRtcpVerdict::Padding;
    }
  }
  return TRtcpVerdict::Accepted;
}

}  // namespace

uint32_t BuildRtcpCompound(const TRtcpReport& Report, std::span<uint8_t> Buffer) {
  if (Report.Cname.size() > RtcpMaxTextBytes || Report.ByeReason.size() > RtcpMaxTextBytes) return 0;
  TWriter W(Buffer);
  // The first packet carries up to 31 blocks; further RR packets the rest.
  std::span<const TRtcpReportBlock> Rest = Report.Blocks;
  bool First = true;
  do {
    const size_t N = std::min(Rest.size(), RtcpMaxBlocksPerPacket);
    const bool Sr = First && Report.Sender.has_value();
    const uint32_t Fixed = 4 + (Sr ? SenderInfoBytes : 0);
    uint8_t* P = W.Packet(Sr ? RtcpSenderReport : RtcpReceiverReport, static_cast<uint8_t>(N),
                          Fixed + BlockBytes * static_cast<uint32_t>(N));
    if (!P) return 0;
    PutBE32(P, Report.Ssrc);
    if (Sr) {
      const TRtcpSenderInfo& S = *Report.Sender;
      PutBE32(P + 4, static_cast<uint32_t>(S.NtpTimestamp >> 32));
      PutBE32(P + 8, static_cast<uint32_t>(S.NtpTimestamp));
      PutBE32(P + 12, S.RtpTimestamp);
      PutBE32(P + 16, S.PacketCount);
      PutBE32(P + 20, S.OctetCount);
    }
    for (size_t I = 0; I < N; ++I) PutBlock(P + Fixed + BlockBytes * I, Rest[I]);
    Rest = Rest.subspan(N);
    First = false;
  } while (!Rest.empty());

  // One chunk: SSRC, the CNAME item, a null octet and zeros to the boundary.
  const uint32_t CnameBytes = static_cast<uint32_t>(Report.Cname.size());
  if (uint8_t* P = W.Packet(RtcpSourceDescription, 1, 4 + RoundUp4(2 + CnameBytes + 1))) {
    PutBE32(P, Report.Ssrc);
    P[4] = SdesCname;
    P[5] = static_cast<uint8_t>(CnameBytes);
    if (CnameBytes > 0) std::memcpy(P + 6, Report.Cname.data(), CnameBytes);
  }

  if (Report.Bye) {
    const uint32_t ReasonBytes = static_cast<uint32_t>(Report.ByeReason.size());
    const uint32_t Reason = ReasonBytes == 0 ? 0 : RoundUp4(1 + ReasonBytes);
    if (uint8_t* P = W.Packet(RtcpGoodbye, 1, 4 + Reason)) {
      PutBE32(P, Report.Ssrc);
      if (ReasonBytes > 0) {
        P[4] = static_cast<uint8_t>(ReasonBytes);
        std::memcpy(P + 5, Report.ByeReason.data(), ReasonBytes);
      }
    }
  }
  return W.Length();
}

TRtcpVerdict ParseRtcpCompound(const uint8_t* Data, size_t Size, TRtcpCompound& Out, TRtcpCounters& Counters) {
  Out = TRtcpCompound{};
  const TRtcpVerdict Verdict = Validate(Data, Size);
  ++Counters.Datagrams[static_cast<size_t>(Verdict)];
  if (Verdict != TRtcpVerdict::Accepted) return Verdict;

  // Validated: every header and length lies inside the datagram.
  for (size_t At = 0; At < Size;) {
    const uint8_t* H = Data + At;
    const uint32_t Bytes = HeaderBytes + 4u * GetBE16(H + 2);
    At += Bytes;
    const uint32_t Padding = (H[0] & 0x20) != 0 ? Data[Size - 1] : 0;
    const TPart P{H[1], static_cast<uint8_t>(H[0] & 0x1F), H + HeaderBytes, Bytes - HeaderBytes - Padding};
    bool WellFormed;
    switch (P.Type) {
      case RtcpSenderReport:
      case RtcpReceiverReport:
        WellFormed = ParseReport(P, H == Data, Out, Counters);
        break;
      case RtcpSourceDescription:
        WellFormed = ParseSdes(P, Out);
        break;
      case RtcpGoodbye:
        WellFormed = ParseBye(P, Out, Counters);
        break;
      default:
        ++Counters.UnknownParts;
        continue;
    }
    if (!WellFormed) ++Counters.MalformedParts;
  }
  return TRtcpVerdict::Accepted;
}

uint64_t RtcpNtpFromUnix(std::chrono::nanoseconds SinceUnixEpoch) {
  // NTP counts from 1900, 70 years (17 of them leap years) before Unix time.
  constexpr uint64_t UnixToNtpSeconds = 2208988800u;
  const auto Seconds = std::chrono::floor<std::chrono::seconds>(SinceUnixEpoch);
  const uint64_t Nanos = static_cast<uint64_t>((SinceUnixEpoch - Seconds).count());
  const uint64_t Fraction = (Nanos << 32) / 1000000000u;
  return (static_cast<uint64_t>(Seconds.count()) + UnixToNtpSeconds) << 32 | Fraction;
}

uint64_t TRtcpNtpClock::Ntp(std::chrono::steady_clock::time_point SteadyNow) const {
  const auto Since = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyNow - FAnchorSteady);
  const auto Seconds = std::chrono::floor<std::chrono::seconds>(Since);
  const uint64_t Nanos = static_cast<uint64_t>((Since - Seconds).count());
  return FAnchorNtp + (static_cast<uint64_t>(Seconds.count()) << 32) + (Nanos << 32) / 1000000000u;
}

uint32_t RtcpDelaySinceLastSr(std::chrono::nanoseconds SinceLastSr) {
  if (SinceLastSr.count() <= 0) return 0;
  const uint64_t Nanos = static_cast<uint64_t>(SinceLastSr.count());
  // Past 65536 s the field saturates; below it the product stays within 64 bits.
  if (Nanos >= 65536ull * 1000000000u) return 0xFFFFFFFF;
  return static_cast<uint32_t>((Nanos << 16) / 1000000000u);
}

std::optional<double> RtcpRoundTripMs(uint32_t ArrivalMiddle, uint32_t LastSr, uint32_t DelaySinceLastSr) {
  if (LastSr == 0) return std::nullopt;
  // Modulo 2^32, as the middle bits wrap every 18 hours.
  const uint32_t SinceSr = ArrivalMiddle - LastSr;
  if (SinceSr >= 0x80000000u || DelaySinceLastSr > SinceSr) return std::nullopt;
  return (SinceSr - DelaySinceLastSr) * 1000.0 / 65536.0;
}

uint32_t RtcpReportIntervalMs(uint32_t IntervalMs, double Uniform) {
  const double U = Uniform > 0 ? std::min(Uniform, 1.0) : 0.0;  // NaN too
  return static_cast<uint32_t>(std::min(IntervalMs * (0.5 + U), 4294967295.0));
}
