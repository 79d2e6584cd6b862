#include "rtp/session_srtp.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/exception.h"

namespace {
// A datagram is decrypted in a copy: the transport's bytes stay as they came,
// for the plain fallback. UDP carries no more than this.
constexpr size_t LargestDatagram = 65536;
}  // namespace

void TSessionSrtp::Configure(const TSrtpMasterKey* Send, const TSrtpMasterKey* Receive, bool Required) {
  FRequired = Required;
  Platform::TLockGuard Sending(FSendLock);
  Platform::TLockGuard Rtcp(FRtcpLock);
  if (!Send || !Receive) {
    FOn = false;
    FSender.reset();
    FReceiver.reset();
    FRtcpReceiver.reset();
    FPlain = {};
    return;
  }
  FSender = std::make_unique<TSrtpSender>(*Send);
  FReceiver = std::make_unique<TSrtpReceiver>(*Receive);
  FRtcpReceiver = std::make_unique<TSrtpReceiver>(*Receive);
  FPlain.resize(LargestDatagram);
  FOn = true;
}

uint32_t TSessionSrtp::Protect(uint8_t* Packet, uint32_t Length, size_t Capacity) {
  if (!On()) return Length;
  Platform::TLockGuard Guard(FSendLock);
  // The sender notices our SSRC renewal itself: a new SSRC is a new context.
  return static_cast<uint32_t>(FSender->ProtectRtp(Packet, Length, Capacity));
}

uint32_t TSessionSrtp::ProtectRtcp(uint8_t* Packet, uint32_t Length, size_t Capacity) {
  if (!On()) return Length;
  Platform::TLockGuard Guard(FSendLock);
  return static_cast<uint32_t>(FSender->ProtectRtcp(Packet, Length, Capacity));
}

void TSessionSrtp::Admit(int32_t Sender, const std::string& Address, int32_t Port) {
  if (!On()) return;
  Platform::TLockGuard Guard(FLock);
  FPeers[Sender] = {Address, Port};
}

void TSessionSrtp::Leave(int32_t Sender) {
  Platform::TLockGuard Guard(FLock);
  FPeers.erase(Sender);
}

bool TSessionSrtp::Unprotect(int32_t Sender, const uint8_t*& Data, uint32_t& Size, uint32_t Now) {
  if (!On()) return true;
  if (Size > FPlain.size()) {
    ++FMalformed;
    return false;
  }
  std::memcpy(FPlain.data(), Data, Size);
  size_t Length = Size;
  const TSrtpVerdict Verdict = FReceiver->UnprotectRtp(FPlain.data(), Length);
  if (Verdict == TSrtpVerdict::Ok) {
    ++FDecrypted;
    Data = FPlain.data();
    Size = static_cast<uint32_t>(Length);
    return true;
  }
  if (Verdict == TSrtpVerdict::Replay) {
    ++FReplay;
    return false;
  }
  if (!FRequired) {
    ++FPlainTaken;
    return true;  // as it came
  }
  if (Verdict == TSrtpVerdict::Authentication) {
    ++FAuthentication;
    LogAuthenticationFailure(Sender, Now);
  } else {
    ++FMalformed;
  }
  return false;
}

bool TSessionSrtp::UnprotectRtcp(const uint8_t*& Data, uint32_t& Size, std::vector<uint8_t>& Plain) {
  if (!On()) return true;
  Plain.assign(Data, Data + Size);
  size_t Length = Size;
  TSrtpVerdict Verdict;
  {
    Platform::TLockGuard Guard(FRtcpLock);
    Verdict = FRtcpReceiver->UnprotectRtcp(Plain.data(), Length);
  }
  if (Verdict == TSrtpVerdict::Ok) {
    ++FRtcpDecrypted;
    Data = Plain.data();
    Size = static_cast<uint32_t>(Length);
    return true;
  }
  // As for the audio: a replay is refused either way, and without Required
  // whatever fails the tag is read as plain RTCP (the parser judges it).
  if (Verdict == TSrtpVerdict::Replay) {
    ++FRtcpReplay;
    return false;
  }
  if (!FRequired) {
    ++FRtcpPlain;
    return true;
  }
  ++(Verdict == TSrtpVerdict::Authentication ? FRtcpAuthentication : FRtcpMalformed);
  return false;
}

void TSessionSrtp::LogAuthenticationFailure(int32_t Sender, uint32_t Now) {
  std::string Address = "?";
  int32_t Port = 0;
  {
    Platform::TLockGuard Guard(FLock);
    if (const auto It = FPeers.find(Sender); It != FPeers.end()) {
      Address = It->second.Address;
      Port = It->second.Port;
    }
  }
  // Once a minute per sender, as the access refusals: a peer with another key
  // fails every packet, fifty a second.
  FRefusals.Write(Address + " " + std::to_string(Port),
                  Format("SRTP REFUSED: [ID=%d,IP=<%s>,Port=<%d>] authentication failed (another key, or plain RTP)",
                         Sender, Address.c_str(), Port),
                  Now);
}

TSrtpCounts TSessionSrtp::Counts() const {
  TSrtpCounts C;
  C.On = On();
  C.Decrypted = FDecrypted;
  C.Plain = FPlainTaken;
  C.Authentication = FAuthentication;
  C.Replay = FReplay;
  C.Malformed = FMalformed;
  C.RtcpDecrypted = FRtcpDecrypted;
  C.RtcpPlain = FRtcpPlain;
  C.RtcpAuthentication = FRtcpAuthentication;
  C.RtcpReplay = FRtcpReplay;
  C.RtcpMalformed = FRtcpMalformed;
  return C;
}
