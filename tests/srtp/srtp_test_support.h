#pragma once
// What the SRTP tests share: the suites, and a plain RTP packet.

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/byte_order.h"
#include "srtp/srtp.h"
#include "test_support.h"

namespace SrtpTest {

inline constexpr TSrtpSuite AllSuites[] = {TSrtpSuite::AesCm128HmacSha1_80, TSrtpSuite::AesCm128HmacSha1_32,
                                           TSrtpSuite::AeadAes128Gcm};

using TestSupport::Hex;

// An RTP packet of payload type 8 with Payload bytes of a pattern that
// depends on Seq.
inline std::vector<uint8_t> RtpPacket(uint32_t Ssrc, uint16_t Seq, size_t Payload = 160) {
  std::vector<uint8_t> P(12 + Payload);
  P[0] = 0x80;
  P[1] = 8;
  Platform::PutBE16(P.data() + 2, Seq);
  Platform::PutBE32(P.data() + 4, Seq * 160u);
  Platform::PutBE32(P.data() + 8, Ssrc);
  for (size_t I = 0; I < Payload; ++I) P[12 + I] = static_cast<uint8_t>(Seq * 7 + I);
  return P;
}

}  // namespace SrtpTest
