#include "tpkt_framing.h"

namespace TPKT {

bool EncodeHeader(size_t PayloadSize, uint8_t (&Header)[HeaderSize]) {
  if (PayloadSize > MaxPayloadSize) return false;
  const size_t Len = PayloadSize + HeaderSize;
  Header[0] = 3;
  Header[1] = 0;
  Header[2] = static_cast<uint8_t>(Len >> 8);
  Header[3] = static_cast<uint8_t>(Len & 0xFF);
  return true;
}

size_t TTpktReader::PacketLength(const uint8_t* Header) {
  if (Header[0] != 3) return 0;
  const size_t Len = (static_cast<size_t>(Header[2]) << 8) | Header[3];
  return Len < HeaderSize ? 0 : Len;
}

}  // namespace TPKT
