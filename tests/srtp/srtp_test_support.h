#pragma once
// What the SRTP tests share: hex text to bytes, and a plain RTP packet.

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/byte_order.h"
#include "srtp/srtp.h"

namespace SrtpTest {

inline constexpr TSrtpSuite AllSuites[] = {TSrtpSuite::AesCm128HmacSha1_80, TSrtpSuite::AesCm128HmacSha1_32,
                                           TSrtpSuite::AeadAes128Gcm};

// Hex digits in either case; blanks between them are ignored.
inline std::vector<uint8_t> Hex(std::string_view Text) {
  std::vector<uint8_t> B;
  int High = -1;
  for (char C : Text) {
    if (C == ' ') continue;
    const int N = C <= '9' ? C - '0' : (C | 0x20) - 'a' + 10;
    if (High < 0) {
      High = N;
    } else {
      B.push_back(static_cast<uint8_t>(High << 4 | N));
      High = -1;
    }
  }
  return B;
}

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
