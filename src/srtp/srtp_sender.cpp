// What we send: SRTP and SRTCP under our own crypto context.

#include "platform/byte_order.h"
#include "srtp/srtp.h"
#include "srtp/srtp_index.h"
#include "srtp/srtp_stream.h"

TSrtpSender::TSrtpSender(const TSrtpMasterKey& Key)
    : FRtp(std::make_unique<TSrtpStreamKeys>(Key, TSrtpStreamKind::Rtp, false)),
      FRtcp(std::make_unique<TSrtpStreamKeys>(Key, TSrtpStreamKind::Rtcp, false)) {}

TSrtpSender::~TSrtpSender() = default;

void TSrtpSender::Restart() {
  FStarted = false;
  FHighestIndex = 0;
  FRtcpIndex = 0;
}

size_t TSrtpSender::ProtectRtp(uint8_t* Buffer, size_t Length, size_t Capacity) {
  const size_t HeaderBytes = SrtpRtpHeaderBytes(Buffer, Length);
  if (HeaderBytes == 0 || Capacity < Length || Capacity - Length < FRtp->Overhead()) return 0;
  const uint16_t Seq = Platform::GetBE16(Buffer + 2);
  const uint32_t Ssrc = Platform::GetBE32(Buffer + 8);
  // A new SSRC is a new context: its receiver starts it at ROC 0.
  if (!FStarted || Ssrc != FSsrc) {
    FStarted = true;
    FSsrc = Ssrc;
    FHighestIndex = Seq;
  }
  // Our own sequence numbers, estimated as the receiver will: the ROC goes up
  // when they wrap, and a packet sent again late keeps the ROC it had.
  const int64_t Index = SrtpEstimateIndex(FHighestIndex, Seq);
  if (Index < 0) return 0;
  if (static_cast<uint64_t>(Index) > FHighestIndex) FHighestIndex = static_cast<uint64_t>(Index);
  return FRtp->ProtectRtp(Buffer, HeaderBytes, Length, static_cast<uint32_t>(static_cast<uint64_t>(Index) >> 16));
}

size_t TSrtpSender::ProtectRtcp(uint8_t* Buffer, size_t Length, size_t Capacity) {
  if (Length < RtcpClearBytes || (Buffer[0] >> 6) != 2 || Capacity < Length ||
      Capacity - Length < FRtcp->Overhead())
    return 0;
  // 2^31 reports would take centuries at RTCP's pace; past it, nothing more is sent.
  if (FRtcpIndex > SrtcpMaxIndex) return 0;
  return FRtcp->ProtectRtcp(Buffer, Length, FRtcpIndex++);
}
