#pragma once
// Inside the SRTP unit: what a receiver keeps of each SSRC it hears. The
// packet index of SRTP is estimated from the sequence number and the highest
// index so far (RFC 3711 3.3.1); a replay list over the index refuses what was
// accepted before or is older than its window, for SRTP and SRTCP alike.

#include <array>
#include <cstddef>
#include <cstdint>

// The index a sequence number most likely has, given the highest index
// accepted so far (ROC in the upper bits, the sequence number in the lower
// 16). Negative for a packet from before the stream's first rollover count.
int64_t SrtpEstimateIndex(uint64_t Highest, uint16_t Seq);

// The indexes accepted within the last 128 below the highest.
class TSrtpReplayList {
public:
  static constexpr uint64_t Window = 128;

  bool Empty() const { return !FValid; }
  uint64_t Highest() const { return FHighest; }
  // True when Index may be accepted: new, or in the window and not seen.
  bool Fresh(int64_t Index) const;
  // Records an index that Fresh allowed and whose packet proved authentic.
  void Accept(uint64_t Index);

private:
  bool FValid = false;
  uint64_t FHighest = 0;
  std::array<uint64_t, Window / 64> FSeen{};  // bit d: FHighest - d accepted
};

// One SSRC's crypto context on the receiving side.
struct TSrtpSsrcContext {
  uint32_t Ssrc = 0;
  uint64_t LastUsed = 0;  // 0: the place is free
  TSrtpReplayList Rtp;
  TSrtpReplayList Rtcp;
};

// A bounded table of contexts: a new SSRC takes a free place or that of the
// one whose last packet is the oldest. Fixed size, no allocation.
class TSrtpSsrcTable {
public:
  static constexpr size_t Capacity = 16;

  TSrtpSsrcContext* Find(uint32_t Ssrc);
  // The context of Ssrc, made if there is none; marked as just used.
  TSrtpSsrcContext& Use(uint32_t Ssrc);

private:
  std::array<TSrtpSsrcContext, Capacity> FContexts{};
  uint64_t FClock = 0;
};
