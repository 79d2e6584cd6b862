// Received datagrams are the untrusted input: parse and accept them with the
// settings taken from the first input byte, and check that an accepted payload
// lies inside the datagram (AddressSanitizer reports any read outside it).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rtp/rtp_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  static TRtpCodec Codec(1);
  const uint8_t Settings = Data[0];
  Codec.SetAwaitingFirstStream((Settings & 0x01) != 0);
  Codec.SetVersion((Settings >> 1) & 0x03);
  Codec.SetMaxRecvSequenceNumberInterval((Settings & 0x08) ? 65535 : 100);
  if (Settings & 0x10) Codec.ResetSendIdentity();
  // The datagram alone in a block of its own size.
  const std::vector<uint8_t> Datagram(Data + 1, Data + Size);
  const uint32_t Length = static_cast<uint32_t>(Datagram.size());

  if (Length <= 0xFFFF) {
    const TRtpDatagramInfo P = ParseRtpDatagram(Datagram.data(), static_cast<uint16_t>(Length));
    if (P.HeaderInside && P.PayloadOffset > Length) {
      if (P.PayloadLength >= 0) std::abort();  // a payload past the end must not look usable
    }
  }
  for (int Round = 0; Round < 2; ++Round) {
    TRtpDatagramInfo Info;
    if (!Codec.Accept(Datagram.data(), Length, &Info)) continue;
    if (Info.PayloadLength <= 0 || Info.PayloadOffset + static_cast<uint32_t>(Info.PayloadLength) > Length)
      std::abort();
    // Touch every payload byte as the receive path copies them.
    std::vector<uint8_t> Copy(Datagram.data() + Info.PayloadOffset,
                              Datagram.data() + Info.PayloadOffset + Info.PayloadLength);
    if (Copy.size() != static_cast<size_t>(Info.PayloadLength)) std::abort();
  }
  // The send side with the same bytes as payload.
  TRtpPacketBuffer Packet;
  Codec.SetBufSizeMultiple(Settings >> 5);
  const uint32_t Built = Codec.BuildPacket(Datagram.data(), Length, Packet);
  if (Built != 0) {
    const TRtpDatagramInfo B = ParseRtpDatagram(Packet.data(), static_cast<uint16_t>(Built));
    if (!B.HeaderInside || B.PayloadOffset != 12 || B.PayloadLength != static_cast<int32_t>(Length) ||
        (Length != 0 && std::memcmp(Packet.data() + 12, Datagram.data(), Length) != 0))
      std::abort();
  }
  return 0;
}
