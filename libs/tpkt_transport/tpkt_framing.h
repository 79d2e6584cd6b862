#pragma once
// TPKT framing of a TCP byte stream (RFC 1006): each packet is a 4-byte header
// (version 3, a reserved 0, the packet length in big-endian order, header
// included) followed by its payload.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TPKT {

constexpr size_t HeaderSize = 4;
constexpr size_t MaxPacketSize = 65535;
constexpr size_t MaxPayloadSize = MaxPacketSize - HeaderSize;

// The header of a packet carrying PayloadSize bytes; false when it does not fit.
bool EncodeHeader(size_t PayloadSize, uint8_t (&Header)[HeaderSize]);

// Cuts a received stream into packets. Bytes may arrive in any pieces.
class TTpktReader {
public:
  // Feeds the next bytes of the stream and hands every completed payload to
  // OnPayload(const uint8_t*, size_t); OnPayload returns false to stop early.
  // Returns false when the stream is not TPKT (bad version or length); the
  // connection is then beyond repair.
  template <class F>
  bool Feed(const uint8_t* Data, size_t Size, F&& OnPayload);

private:
  // The length from a header, 0 when the header is invalid.
  static size_t PacketLength(const uint8_t* Header);

  std::vector<uint8_t> FPending;  // an incomplete packet carried over
};

template <class F>
bool TTpktReader::Feed(const uint8_t* Data, size_t Size, F&& OnPayload) {
  // Complete a packet carried over from before first.
  while (!FPending.empty() && Size > 0) {
    size_t Need = FPending.size() < HeaderSize ? HeaderSize : PacketLength(FPending.data());
    if (Need == 0) return false;
    const size_t Take = Need - FPending.size() < Size ? Need - FPending.size() : Size;
    FPending.insert(FPending.end(), Data, Data + Take);
    Data += Take;
    Size -= Take;
    if (FPending.size() < HeaderSize) continue;
    Need = PacketLength(FPending.data());
    if (Need == 0) return false;
    if (FPending.size() == Need) {
      std::vector<uint8_t> Packet;
      Packet.swap(FPending);
      if (Packet.size() > HeaderSize && !OnPayload(Packet.data() + HeaderSize, Packet.size() - HeaderSize))
        return true;
    }
  }
  if (!FPending.empty()) return true;  // all bytes went into the carried packet
  // Whole packets straight from the buffer.
  while (Size >= HeaderSize) {
    const size_t Len = PacketLength(Data);
    if (Len == 0) return false;
    if (Len > Size) break;
    if (Len > HeaderSize && !OnPayload(Data + HeaderSize, Len - HeaderSize)) return true;
    Data += Len;
    Size -= Len;
  }
  FPending.assign(Data, Data + Size);
  if (FPending.size() >= HeaderSize && PacketLength(FPending.data()) == 0) return false;
  return true;
}

}  // namespace TPKT
