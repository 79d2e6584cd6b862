#pragma once
// A peer whose packets are longer than the receive buffer holds (one sending
// 80 ms packets to a buffer of 60 ms): each packet is played whole, and the log
// says so once per sender, with the ReceiveBufCount that would hold it. A
// packet longer than a playback buffer cannot be played whole with any
// setting: it is cut to one.
//
// Threads: Keep runs on the network thread (the receive path), Forget
// where the transport reports a sender gone.

#include <cstdint>
#include <set>

#include "platform/mutex.h"

class TLongPacketNote {
public:
  // How much of a packet of Length bytes from Sender goes into a receive buffer
  // of Count packets of PayloadBytes: all of it, or a playback buffer's worth.
  // Inline: every received packet passes here.
  uint32_t Keep(int32_t Sender, uint32_t Length, int32_t Count, int32_t PayloadBytes) {
    if (int64_t{Length} <= int64_t{Count} * PayloadBytes) return Length;
    return KeepLong(Sender, Length, Count, PayloadBytes);
  }
  // Sender has left: a new sender with its id is told afresh.
  void Forget(int32_t Sender);

private:
  uint32_t KeepLong(int32_t Sender, uint32_t Length, int32_t Count, int32_t PayloadBytes) EXCLUDES(FLock);

  Platform::TMutex FLock;
  std::set<int32_t> FTold GUARDED_BY(FLock);  // senders whose long packets were logged
};
