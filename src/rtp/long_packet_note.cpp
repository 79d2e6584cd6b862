#include "rtp/long_packet_note.h"

#include <algorithm>
#include <string>

#include "audio/wave_device.h"
#include "log/log.h"
#include "platform/exception.h"

uint32_t TLongPacketNote::KeepLong(int32_t Sender, uint32_t Length, int32_t Count, int32_t PayloadBytes) {
  const uint32_t Kept = std::min(Length, TWaveDevice::BufferBytes);
  {
    Platform::TLockGuard G(FLock);
    if (!FTold.insert(Sender).second) return Kept;
  }
  std::string What;
  if (Kept < Length) {
    What = Format("cut to %u bytes, the most a playback buffer holds", Kept);
  } else {
    // The fewest packets of the receive payload that hold it, within what the
    // start accepts.
    const int64_t Needed = PayloadBytes > 0 ? (int64_t{Length} + PayloadBytes - 1) / PayloadBytes : 0;
    What = Needed > 0 && Needed <= TWaveDevice::MaxBuffers && Needed * PayloadBytes <= TWaveDevice::BufferBytes
               ? Format("played whole; ReceiveBufCount=%d would hold it", static_cast<int>(Needed))
               : std::string("played whole; no ReceiveBufCount holds it");
  }
  // Written whatever DoLog says: the audio is not what the setting promises.
  WriteLog(Format("RTP packet of %u bytes from [ID=%d] is longer than the receive buffer of %d bytes "
                  "(ReceiveBufCount=%d): %s",
                  Length, Sender, Count * PayloadBytes, Count, What.c_str()));
  return Kept;
}

void TLongPacketNote::Forget(int32_t Sender) {
  Platform::TLockGuard G(FLock);
  FTold.erase(Sender);
}
