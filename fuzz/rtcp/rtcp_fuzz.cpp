// A peer's RTCP is untrusted input: parse it alone in a block of its own size
// (AddressSanitizer reports any read outside it), check that exactly one
// verdict is counted, and that what an accepted compound said survives being
// built again and parsed back.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "quality/rtcp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<uint8_t> Datagram(Data, Data + Size);
  TRtcpCompound Parsed;
  TRtcpCounters Counters;
  const TRtcpVerdict Verdict = ParseRtcpCompound(Datagram.data(), Datagram.size(), Parsed, Counters);
  uint64_t Counted = 0;
  for (uint64_t N : Counters.Datagrams) Counted += N;
  if (Counted != 1 || Counters.Count(Verdict) != 1) std::abort();
  if (Verdict != TRtcpVerdict::Accepted) {
    if (Parsed.BlockCount != 0 || Parsed.HasCname || Parsed.ByeCount != 0 || Parsed.Sender) std::abort();
    return 0;
  }
  if (Size % 4 != 0 || Parsed.BlockCount > TRtcpCompound::MaxBlocks || Parsed.ByeCount > TRtcpCompound::MaxByeSources)
    std::abort();

  const TRtcpReport Again{Parsed.SenderSsrc, Parsed.Sender, Parsed.ReportBlocks(), Parsed.Cname(),
                          Parsed.ByeCount > 0, {}};
  std::vector<uint8_t> Buffer(4096);
  Buffer.resize(BuildRtcpCompound(Again, Buffer));
  TRtcpCompound Back;
  TRtcpCounters BackCounters;  // what we build has nothing to skip
  if (ParseRtcpCompound(Buffer.data(), Buffer.size(), Back, BackCounters) != TRtcpVerdict::Accepted ||
      BackCounters.MalformedParts + BackCounters.UnknownParts + BackCounters.DroppedItems != 0)
    std::abort();
  const auto Blocks = Parsed.ReportBlocks(), BlocksBack = Back.ReportBlocks();
  if (Back.SenderSsrc != Parsed.SenderSsrc || Back.Sender != Parsed.Sender || Back.Cname() != Parsed.Cname() ||
      !std::equal(Blocks.begin(), Blocks.end(), BlocksBack.begin(), BlocksBack.end()) ||
      (Back.ByeCount > 0) != (Parsed.ByeCount > 0))
    std::abort();
  return 0;
}
