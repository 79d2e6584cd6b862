#pragma once
// RTCP compound packets: building the report we send to a peer (SR, or RR
// while we have sent nothing, then SDES with our CNAME, BYE at the end of a
// session) and taking apart what a peer sends, with the validity checks of
// RFC 3550 Appendix A.2. Plus the clock and timer arithmetic around them:
// NTP timestamps, the round-trip time from LSR/DLSR, the randomised report
// interval, and the rule that tells RTCP from RTP on one port (RFC 5761).
//
// A value-only unit: no threads, locks or log. Building writes into the
// caller's buffer and parsing fills a caller's fixed-size record, so neither
// allocates; whoever shares a counter record across threads guards it.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string_view>

// Packet types.
inline constexpr uint8_t RtcpSenderReport = 200;
inline constexpr uint8_t RtcpReceiverReport = 201;
inline constexpr uint8_t RtcpSourceDescription = 202;
inline constexpr uint8_t RtcpGoodbye = 203;

inline constexpr uint32_t RtcpMinDatagramLength = 8;  // an empty receiver report
inline constexpr size_t RtcpMaxBlocksPerPacket = 31;   // the 5-bit count
inline constexpr size_t RtcpMaxTextBytes = 255;        // an SDES item or a BYE reason

// RFC 5761: with RTP and RTCP on one port, a second byte of 192 to 223 (the
// marker and payload types 64 to 95 in RTP's place) is RTCP, whatever the
// rest says. A datagram shorter than the smallest RTCP packet is not.
constexpr bool IsRtcpSecondByte(uint8_t SecondByte) { return SecondByte >= 192 && SecondByte <= 223; }
inline bool IsRtcpDatagram(const uint8_t* Data, size_t Size) {
  return Size >= RtcpMinDatagramLength && IsRtcpSecondByte(Data[1]);
}

// What a sender report says about its sender.
struct TRtcpSenderInfo {
  uint64_t NtpTimestamp = 0;  // seconds since 1900 in the upper 32 bits, fraction below
  uint32_t RtpTimestamp = 0;  // the same instant on the RTP clock
  uint32_t PacketCount = 0;
  uint32_t OctetCount = 0;  // payload octets
  friend bool operator==(const TRtcpSenderInfo&, const TRtcpSenderInfo&) = default;
};

// One report block: what a receiver saw of the source Ssrc.
struct TRtcpReportBlock {
  uint32_t Ssrc = 0;
  uint8_t FractionLost = 0;  // in 1/256, since the previous report
  // 24 bits signed on the wire (repeats make it negative); built clamped to
  // -8388608..8388607.
  int32_t CumulativeLost = 0;
  uint32_t ExtendedHighestSequence = 0;  // cycles in the upper 16 bits
  uint32_t Jitter = 0;                   // interarrival jitter in RTP timestamp units
  uint32_t LastSr = 0;                   // LSR: middle 32 bits of the last SR's NTP timestamp, 0: none
  uint32_t DelaySinceLastSr = 0;         // DLSR, in 1/65536 s
  friend bool operator==(const TRtcpReportBlock&, const TRtcpReportBlock&) = default;
};

// What we send in one compound packet.
struct TRtcpReport {
  uint32_t Ssrc = 0;
  std::optional<TRtcpSenderInfo> Sender;    // SR when set, RR while we have sent nothing
  std::span<const TRtcpReportBlock> Blocks;  // beyond 31, further RR packets carry the rest
  std::string_view Cname;                    // at most 255 bytes
  bool Bye = false;
  std::string_view ByeReason;  // at most 255 bytes; empty: none
};

// Writes Report as one compound packet (SR or RR, SDES with the CNAME, then
// BYE if asked) at the start of Buffer. Returns its length in bytes, or 0 when
// it does not fit or a text is longer than 255 bytes (nothing usable is
// written then).
uint32_t BuildRtcpCompound(const TRtcpReport& Report, std::span<uint8_t> Buffer);

// Why a received datagram was refused as a whole (or that it was not).
enum class TRtcpVerdict : uint8_t {
  Accepted,
  TooShort,        // below the smallest RTCP packet
  Version,         // a packet's version is not 2
  NotReportFirst,  // the first packet is neither SR nor RR
  Padding,         // padding on a packet other than the last, or a padding count that does not fit
  Length,          // the packets' lengths do not add up to the datagram
};
inline constexpr size_t RtcpVerdictCount = 6;

// Counts over many datagrams. Parts are packets inside an accepted datagram:
// a part that is skipped leaves the others usable.
struct TRtcpCounters {
  std::array<uint64_t, RtcpVerdictCount> Datagrams{};  // by verdict
  uint64_t MalformedParts = 0;  // SR, RR, SDES or BYE whose content does not fit its length
  uint64_t UnknownParts = 0;    // other packet types (APP, feedback, XR, ...): skipped
  uint64_t DroppedItems = 0;    // report blocks or BYE sources beyond what a TRtcpCompound keeps
  uint64_t Count(TRtcpVerdict V) const { return Datagrams[static_cast<size_t>(V)]; }
};

// What an accepted compound packet says.
struct TRtcpCompound {
  static constexpr size_t MaxBlocks = 2 * RtcpMaxBlocksPerPacket;
  static constexpr size_t MaxByeSources = RtcpMaxBlocksPerPacket;

  uint32_t SenderSsrc = 0;  // the first packet's: whose report this is (0 when too short to hold it)
  std::optional<TRtcpSenderInfo> Sender;  // when the first packet is a well-formed SR
  // Every block of every well-formed SR and RR, in order; pick those about our SSRC.
  std::array<TRtcpReportBlock, MaxBlocks> Blocks{};
  uint32_t BlockCount = 0;
  // The first CNAME item, and the SSRC of its chunk.
  bool HasCname = false;
  uint32_t CnameSsrc = 0;
  std::array<char, RtcpMaxTextBytes> CnameBytes{};
  uint8_t CnameLength = 0;
  // Sources that said goodbye.
  std::array<uint32_t, MaxByeSources> ByeSsrcs{};
  uint32_t ByeCount = 0;

  std::span<const TRtcpReportBlock> ReportBlocks() const { return {Blocks.data(), BlockCount}; }
  std::string_view Cname() const { return {CnameBytes.data(), CnameLength}; }
  std::span<const uint32_t> ByeSources() const { return {ByeSsrcs.data(), ByeCount}; }
};

// Checks a received datagram and takes it apart into Out (reset first; only
// an accepted datagram fills it). Counts the verdict and every skipped part or
// item in Counters. Never reads outside Data[0, Size).
TRtcpVerdict ParseRtcpCompound(const uint8_t* Data, size_t Size, TRtcpCompound& Out, TRtcpCounters& Counters);

// NTP timestamps: seconds since 1 January 1900 in 32.32 fixed point.
uint64_t RtcpNtpFromUnix(std::chrono::nanoseconds SinceUnixEpoch);
inline uint64_t RtcpNtpFromWallClock(std::chrono::system_clock::time_point Wall) {
  return RtcpNtpFromUnix(Wall.time_since_epoch());
}
// The middle 32 bits (16.16): what LSR echoes and round trips are reckoned in.
constexpr uint32_t RtcpNtpMiddle(uint64_t Ntp) { return static_cast<uint32_t>(Ntp >> 16); }

// An NTP clock that reads the wall clock once and then follows the steady
// clock: a step of the wall clock while reports are in flight would otherwise
// bend every round trip measured across it.
class TRtcpNtpClock {
public:
  TRtcpNtpClock(std::chrono::system_clock::time_point WallNow, std::chrono::steady_clock::time_point SteadyNow)
      : FAnchorNtp(RtcpNtpFromWallClock(WallNow)), FAnchorSteady(SteadyNow) {}
  uint64_t Ntp(std::chrono::steady_clock::time_point SteadyNow) const;

private:
  uint64_t FAnchorNtp;
  std::chrono::steady_clock::time_point FAnchorSteady;
};

// DLSR for a report: the time since the peer's last SR arrived, in 1/65536 s
// (saturating at the field's range).
uint32_t RtcpDelaySinceLastSr(std::chrono::nanoseconds SinceLastSr);

// Round-trip time of a report block that arrived at ArrivalMiddle (our NTP
// clock's middle 32 bits): A - LSR - DLSR. None when LSR is 0 (the peer has
// not had an SR of ours yet) or the difference is negative (the peer's DLSR
// does not fit our clock).
std::optional<double> RtcpRoundTripMs(uint32_t ArrivalMiddle, uint32_t LastSr, uint32_t DelaySinceLastSr);

// The next report interval: IntervalMs times a factor spread evenly over
// [0.5, 1.5), so that the reports of many peers do not fall into step.
// Uniform is a draw from [0, 1) (values outside are clamped).
uint32_t RtcpReportIntervalMs(uint32_t IntervalMs, double Uniform);
template <class TRandom>
uint32_t RtcpReportIntervalMs(uint32_t IntervalMs, TRandom& Random) {
  return RtcpReportIntervalMs(IntervalMs, std::generate_canonical<double, 32>(Random));
}
