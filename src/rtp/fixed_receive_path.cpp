#include "rtp/fixed_receive_path.h"

#include "platform/clock.h"

void TFixedReceivePath::Dimension(int32_t PayloadBytes, int32_t Count) {
  FPayloadBytes = PayloadBytes;
  FCount = Count;
  FBuffer.SetReadMax(static_cast<uint32_t>(Count * PayloadBytes));
  FBuffer.SetCapacity(Count * PayloadBytes);
}

void TFixedReceivePath::SetPayloadBytes(int32_t PayloadBytes) {
  FBuffer.SetThreshold(PayloadBytes);
  Dimension(PayloadBytes, FCount);
}

bool TFixedReceivePath::Push(int32_t Sender, const TRtpDatagramInfo& Info, const uint8_t* Payload, uint32_t Now) {
  const uint32_t Kept = FLongPackets.Keep(Sender, static_cast<uint32_t>(Info.PayloadLength), FCount, FPayloadBytes);
  // Empty, and so never allocated, unless the buffer overflows.
  std::vector<TTaggedPacket> Dropped;
  FBuffer.WritePacket(Payload, static_cast<uint16_t>(Kept), {Sender, Now}, &Dropped);
  for (const TTaggedPacket& P : Dropped) FCalls.Dropped(P.Tag.Sender, Ms(P.Size));
  return true;
}

void TFixedReceivePath::Play(TPlayout& Out) {
  if (Out.Playing() && !Out.Ready()) {
    // The data stays buffered; the next packet sets the event again.
    FBuffer.DataEvent().Reset();
    return;
  }
  // Without a playing earpiece (none found, busy, unplugged) the audio is
  // still taken as it comes, so that the recording keeps what the peer said.
  TAudioBlock Block;
  if (!FBuffer.Read(0, Block, &FTaken) || Block.Size == 0) return;
  uint32_t AheadMs = Out.QueuedMs();
  Out.Play(Block.Data.get(), Block.Size);
  // Each packet of the take waited in the buffer since its arrival, and
  // waits in the device behind what it held and the packets before it.
  const uint32_t Now = Platform::TickCount();
  for (const TTaggedPacket& P : FTaken) {
    const uint32_t PacketMs = Ms(P.Size);
    FCalls.Played(P.Tag.Sender, {PacketMs, 0, Now - P.Tag.Arrival, AheadMs, Now});
    AheadMs += PacketMs;
  }
}
