#pragma once
// Raw RTP datagrams for the tests, written field by field.

#include <cstdint>
#include <string>
#include <vector>

namespace RtpTest {

struct TDatagram {
  uint8_t Version = 2;
  bool Padding = false;
  bool Extension = false;
  uint8_t Csrc = 0;
  bool Marker = false;
  uint8_t Pt = 8;
  uint16_t Seq = 0;
  uint32_t Ts = 0x01020304;
  uint32_t Ssrc = 0x11223344;
  uint16_t ExtWords = 0;  // written only where the extension header fits
  uint8_t PadCount = 0;   // the last byte, when Padding
  size_t Length = 172;

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> B(Length, 0xD5);
    auto Put = [&](size_t At, uint64_t V, int Width) {
      for (int I = 0; I < Width; ++I)
        if (At + I < B.size()) B[At + I] = static_cast<uint8_t>(V >> (8 * (Width - 1 - I)));
    };
    Put(0, (Version & 3) << 6 | (Padding ? 0x20 : 0) | (Extension ? 0x10 : 0) | (Csrc & 0x0F), 1);
    Put(1, (Marker ? 0x80 : 0) | (Pt & 0x7F), 1);
    Put(2, Seq, 2);
    Put(4, Ts, 4);
    Put(8, Ssrc, 4);
    if (Extension) Put(12 + 4 * Csrc + 2, ExtWords, 2);
    if (Padding && !B.empty()) B.back() = PadCount;
    return B;
  }
};

// A plain packet (version 2, payload type 8, no CSRC list, extension or
// padding) around Payload, as the byte string a socket sends.
inline std::string PacketText(uint16_t Seq, uint32_t Ts, uint32_t Ssrc, const std::string& Payload) {
  TDatagram D;
  D.Seq = Seq;
  D.Ts = Ts;
  D.Ssrc = Ssrc;
  D.Length = 12;
  const std::vector<uint8_t> Header = D.Bytes();
  return std::string(Header.begin(), Header.end()) + Payload;
}

// Recognisable audio bytes.
inline std::vector<uint8_t> Pattern(size_t Size) {
  std::vector<uint8_t> P(Size);
  for (size_t I = 0; I < Size; ++I) P[I] = static_cast<uint8_t>(I * 7 + 3);
  return P;
}

}  // namespace RtpTest
