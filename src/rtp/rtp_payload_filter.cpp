#include "rtp/rtp_payload_filter.h"

#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"
#include "platform/mutex.h"
#include "quality/rtcp_packet.h"

TRtpPayloadVerdict TRtpPayloadFilter::CheckOther(int32_t Source, const uint8_t* Data, uint32_t Size) {
  if (IsRtcpDatagram(Data, Size)) {
    FRtcp.fetch_add(1, std::memory_order_relaxed);
    return TRtpPayloadVerdict::Rtcp;
  }
  if (Size < RtpMinDatagramLength) return TRtpPayloadVerdict::Play;
  const uint8_t Type = Data[1] & 0x7F;
  const uint8_t Expected = FPayloadType.load(std::memory_order_relaxed);
  if (Type == Expected) return TRtpPayloadVerdict::Play;
  FOther.fetch_add(1, std::memory_order_relaxed);
  if (!DoLog) return TRtpPayloadVerdict::OtherPayloadType;
  bool First;
  {
    Platform::TLockGuard Guard(FLock);
    First = FLogged.insert(Source).second;
  }
  if (First)
    WriteLog(Format("RTP PAYLOAD TYPE %d NOT PLAYED: [ID=%d] (PayloadType=%d)", Type, Source, Expected));
  return TRtpPayloadVerdict::OtherPayloadType;
}

void TRtpPayloadFilter::Forget(int32_t Source) {
  Platform::TLockGuard Guard(FLock);
  FLogged.erase(Source);
}
