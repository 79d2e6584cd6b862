// What we receive: each SSRC's context, the replay lists, then the transform.

#include "platform/byte_order.h"
#include "srtp/srtp.h"
#include "srtp/srtp_index.h"
#include "srtp/srtp_stream.h"

TSrtpReceiver::TSrtpReceiver(const TSrtpMasterKey& Key)
    : FRtp(std::make_unique<TSrtpStreamKeys>(Key, TSrtpStreamKind::Rtp, true)),
      FRtcp(std::make_unique<TSrtpStreamKeys>(Key, TSrtpStreamKind::Rtcp, true)),
      FContexts(std::make_unique<TSrtpSsrcTable>()) {}

TSrtpReceiver::~TSrtpReceiver() = default;

TSrtpVerdict TSrtpReceiver::UnprotectRtp(uint8_t* Data, size_t& Length) {
  if (Length < RtpFixedHeaderBytes + FRtp->TagBytes()) return TSrtpVerdict::TooShort;
  const size_t HeaderBytes = SrtpRtpHeaderBytes(Data, Length - FRtp->TagBytes());
  if (HeaderBytes == 0) return TSrtpVerdict::Malformed;
  const uint16_t Seq = Platform::GetBE16(Data + 2);
  const uint32_t Ssrc = Platform::GetBE32(Data + 8);
  // An SSRC not heard yet starts at ROC 0; its context is made only once a
  // packet of it proves authentic, so that forged SSRCs cannot push out real ones.
  const TSrtpSsrcContext* Known = FContexts->Find(Ssrc);
  const int64_t Index = Known && !Known->Rtp.Empty() ? SrtpEstimateIndex(Known->Rtp.Highest(), Seq) : Seq;
  if (Known && !Known->Rtp.Fresh(Index)) return TSrtpVerdict::Replay;
  const uint64_t Accepted = static_cast<uint64_t>(Index);
  if (!FRtp->UnprotectRtp(Data, HeaderBytes, Length, static_cast<uint32_t>(Accepted >> 16)))
    return TSrtpVerdict::Authentication;
  FContexts->Use(Ssrc).Rtp.Accept(Accepted);
  return TSrtpVerdict::Ok;
}

TSrtpVerdict TSrtpReceiver::UnprotectRtcp(uint8_t* Data, size_t& Length) {
  if (Length < RtcpClearBytes + FRtcp->Overhead()) return TSrtpVerdict::TooShort;
  if ((Data[0] >> 6) != 2) return TSrtpVerdict::Malformed;
  const uint32_t Ssrc = Platform::GetBE32(Data + 4);
  const uint32_t Index = FRtcp->RtcpIndexWord(Data, Length) & SrtcpMaxIndex;
  const TSrtpSsrcContext* Known = FContexts->Find(Ssrc);
  if (Known && !Known->Rtcp.Fresh(Index)) return TSrtpVerdict::Replay;
  if (!FRtcp->UnprotectRtcp(Data, Length)) return TSrtpVerdict::Authentication;
  FContexts->Use(Ssrc).Rtcp.Accept(Index);
  return TSrtpVerdict::Ok;
}
