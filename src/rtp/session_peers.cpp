#include "rtp/session_peers.h"

#include "access/access_policy.h"
#include "config/start_values.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/exception.h"

bool TSessionPeers::Admit(int32_t ClientId, const std::string& Address, int32_t Port, bool LogConnected) {
  if (FGate.Decide(AccessPolicy(), ClientId, Address, Port, Platform::TickCount()) != TPeerVerdict::Admitted)
    return false;
  ++FConnections;
  if (DoLog && LogConnected) WriteLog(Format("CONNECTED: [ID=%d,IP=<%s>,Port=<%d>]", ClientId, Address.c_str(), Port));
  return true;
}

bool TSessionPeers::Leave(int32_t ClientId, const std::string& Address, int32_t Port, size_t& PeersLeft) {
  // A refused sender was never a peer: its going is no peer's.
  if (!FGate.Leave(ClientId, &PeersLeft)) return false;
  FPayloadFilter.Forget(ClientId);
  if (DoLog) WriteLog(Format("DISCONNECTED: [ID=%d,IP=<%s>,Port=<%d>]", ClientId, Address.c_str(), Port));
  return true;
}

THearing TSessionPeers::Hear(int32_t ClientId, const uint8_t* Data, uint32_t Size, bool ReadRtcp) {
  if (FGate.Refused(ClientId)) {
    ++FRefusedSender;
    return THearing::Ignored;
  }
  const TRtpPayloadVerdict Payload = FPayloadFilter.Check(ClientId, Data, Size);
  if (Payload == TRtpPayloadVerdict::Play) return THearing::Audio;
  if (Payload == TRtpPayloadVerdict::Rtcp && ReadRtcp) return THearing::Rtcp;
  ++(Payload == TRtpPayloadVerdict::Rtcp ? FRtcp : FOtherPayloadType);
  return THearing::Ignored;
}
