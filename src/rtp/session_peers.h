#pragma once
// TSessionPeers: who the session's peers are and which of their datagrams are
// heard at all. A new sender becomes a peer only when the process's access
// policy admits it; a refused sender's datagrams, RTCP and foreign payload
// types never reach the acceptance rules (each is counted, RTCP only when the
// session does not read it).
//
// Threads: Admit, Leave and Hear run on the transport library's network
// thread, the counts anywhere; it locks itself.

#include <atomic>
#include <cstdint>
#include <string>

#include "access/peer_gate.h"
#include "rtp/rtp_payload_filter.h"

// What a received datagram is to the session.
enum class THearing { Audio, Rtcp, Ignored };

class TSessionPeers {
public:
  void SetPayloadType(uint8_t PayloadType) { FPayloadFilter.SetPayloadType(PayloadType); }

  // A new sender: true when it is a peer now ("CONNECTED" logged when
  // LogConnected), false when refused.
  bool Admit(int32_t ClientId, const std::string& Address, int32_t Port, bool LogConnected);
  // A sender gone: false when it was never a peer; else "DISCONNECTED" is
  // logged and PeersLeft tells how many peers remain.
  bool Leave(int32_t ClientId, const std::string& Address, int32_t Port, size_t& PeersLeft);
  // Whether a received datagram may reach the acceptance rules (Audio), is a
  // peer's RTCP for the session to read (only when ReadRtcp), or is dropped.
  THearing Hear(int32_t ClientId, const uint8_t* Data, uint32_t Size, bool ReadRtcp);

  size_t PeerCount() { return FGate.PeerCount(); }
  // Whether the peers listed in Ids (as the transport writes them) were the last.
  bool LastPeersAmong(const std::string& Ids) { return FGate.LastPeersAmong(Ids); }

  uint64_t Connections() const { return FConnections; }
  uint64_t RefusedSender() const { return FRefusedSender; }
  uint64_t Rtcp() const { return FRtcp; }
  uint64_t OtherPayloadType() const { return FOtherPayloadType; }

private:
  TPeerGate FGate;                   // locks itself
  TRtpPayloadFilter FPayloadFilter;  // locks itself
  std::atomic<uint64_t> FConnections{0}, FRefusedSender{0}, FRtcp{0}, FOtherPayloadType{0};
};
