// The session's network side: the UDP servers it starts (the RTP port, and the
// RTCP port in port mode), and what it does on the transport library's network
// thread as peers come and go and datagrams arrive. Everything from
// OnNewClientConnected on runs on that one thread.

#include "rtp/rtp_session.h"

#include "config/start_values.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/exception.h"
#include "platform/process.h"
#include "transport/tpkt_server.h"

// ---- the servers ------------------------------------------------------------

TTPKTServer* TRtpSession::HostTransport() const {
  Platform::TLockGuard Guard(FProcessorLock);
  return FTransport.get();
}

TTPKTServer* TRtpSession::HostRtcpTransport() const {
  Platform::TLockGuard Guard(FProcessorLock);
  return FRtcpTransport.get();
}

std::unique_ptr<TTPKTServer> TRtpSession::NewUdpServer(int32_t Port) {
  auto Transport = std::make_unique<TTPKTServer>();
  Transport->SetListenIP(FLocalIP);
  Transport->SetPort(Port);
  Transport->SetLayer("UDP");
  Transport->OnError() = [this](TTPKTServer* S, uint8_t Op, const std::string& Msg, int32_t& Code) {
    // A port that cannot be bound fails the start, as the mixer's does, instead
    // of leaving a deaf bridge; later failures are logged and passed over.
    const int32_t Kept = Code;
    OnTransportError(S, Op, Msg, Code);
    if (Op == TTPKTServer::OpStart) Code = Kept;
  };
  return Transport;
}

void TRtpSession::StartTransport() {
  auto Transport = NewUdpServer(FLocalPort);
  Transport->OnDisconnect() = [this](TTPKTServer* S, int32_t Id, const std::string& Address, int32_t Port) {
    OnClientDisconnected(S, Id, Address, Port);
  };
  // Access is decided where a peer is born: from the first datagram the
  // transport can report, so no sender becomes a peer unchecked.
  Transport->OnConnect() = [this](TTPKTServer* S, int32_t Id, const std::string& Address, int32_t Port) {
    OnNewClientConnected(S, Id, Address, Port);
  };
  FTransport = std::move(Transport);
  FTransport->SetActive(true);
}

void TRtpSession::StartRtcpTransport() {
  auto Transport = NewUdpServer(FLocalPort + 1);
  Transport->OnConnect() = [this](TTPKTServer* S, int32_t Id, const std::string& Address, int32_t Port) {
    OnRtcpSourceConnected(S, Id, Address, Port);
  };
  Transport->OnDisconnect() = [this](TTPKTServer*, int32_t Id, const std::string&, int32_t) { FRtcp.LeaveSource(Id); };
  Transport->OnClientData() = [this](TTPKTServer* S, int32_t Id, const void* Data, uint32_t Size) {
    OnRtcpData(S, Id, Data, Size);
  };
  FRtcpTransport = std::move(Transport);
  FRtcpTransport->SetActive(true);
}

// ---- transport handlers -----------------------------------------------------

void TRtpSession::OnNewClientConnected(TTPKTServer* Sender, int32_t ClientId, const std::string& Address,
                                       int32_t Port) {
  try {
    // Only a session that plays learns of its peers in the log. A refused
    // sender is never a peer: the transport sends it nothing from now on, and
    // its datagrams are ignored until it has gone.
    if (!FPeers.Admit(ClientId, Address, Port, FPlayEnabled)) {
      Sender->DisconnectClient(ClientId);
      return;
    }
    FSrtp.Admit(ClientId, Address, Port);
    FCalls.Begin(ClientId, Address, Port);
    if (FRtcp.On()) FRtcp.Join(ClientId, Address, Port, FCodec.SendIdentity());
  } catch (const Exception& E) {
    WriteLog("OnNewClientConnected Exception: " + E.Message());
  }
}

void TRtpSession::OnClientDisconnected(TTPKTServer*, int32_t ClientId, const std::string& Address, int32_t Port) {
  size_t PeersLeft = 0;
  if (!FPeers.Leave(ClientId, Address, Port, PeersLeft)) return;
  FSrtp.Leave(ClientId);
  FReceive.load()->Forget(ClientId);
  FRtcp.Leave(ClientId);
  const std::optional<TCallRecord> Record = FCalls.End(ClientId);
  if (Record && FCallRecords) WriteCallRecord(*Record);
  // Only the last peer's going ends the wait for the first stream. Counting the
  // departing peer as the table does, any going ended it, and the stream of a
  // peer that stayed was then taken for a new source: a new identity for all.
  if (PeersLeft == 0) FCodec.SetAwaitingFirstStream(false);
}

void TRtpSession::OnReceiveData(TTPKTServer*, int32_t ClientId, const void* Data, uint32_t Size) {
  if (!FPlayEnabled) return;
  ++FDatagrams;
  // Who is heard and what is audio: nothing of a refused sender, no RTCP and no
  // foreign payload type reaches the acceptance rules or the earpiece.
  const uint8_t* Bytes = static_cast<const uint8_t*>(Data);
  const THearing Heard = FPeers.Hear(ClientId, Bytes, Size, FRtcp.Mode() == TRtcpMode::Mux);
  if (Heard == THearing::Ignored) return;
  try {
    if (Heard == THearing::Rtcp) {
      ReadRtcp(ClientId, Bytes, Size);
      return;
    }
    TRtpDatagramInfo Info;
    const uint32_t Now = Platform::TickCount();
    // SRTP: the rules see the packet decrypted, and nothing that failed its tag.
    if (!FSrtp.Unprotect(ClientId, Bytes, Size, Now)) return;
    // One stream is played at a time: another sender's takes over once the
    // played one has been silent for two packets' time.
    const TRtpVerdict Verdict = FCodec.Check(Bytes, Size, &Info, {ClientId, Now, 2u * FReceivePayloadTime});
    ++FVerdicts[static_cast<size_t>(Verdict)];
    FCalls.Packet(ClientId, Info, Verdict);
    if (Verdict != TRtpVerdict::Accepted) return;
    FActivity.Received(Now);
    const uint8_t* Payload = Bytes + Info.PayloadOffset;
    if (FReceive.load()->Push(ClientId, Info, Payload, Now) && FSaveWavData)
      FRaw.Append(TRawFiles::TStream::Received, Payload, static_cast<size_t>(Info.PayloadLength));
  } catch (const Exception& E) {
    WriteLog("OnReceiveData Exception: " + E.Message());
  }
}

void TRtpSession::OnTransportError(TTPKTServer* Sender, uint8_t Operation, const std::string& Msg,
                                   int32_t& ErrorCode) {
  // The server's own port: the RTP port's, or in port mode the RTCP port's.
  if (DoLog)
    WriteLog(Format("%d:Error. Operation: %d. Error: %s(%d). TID: %d", Sender ? Sender->Port() : FLocalPort, Operation,
                    Msg.c_str(), ErrorCode,
                    static_cast<int>(Platform::CurrentThreadId())));
  ErrorCode = 0;
}

void TRtpSession::OnRtcpSourceConnected(TTPKTServer* Sender, int32_t SourceId, const std::string& Address,
                                        int32_t Port) {
  try {
    if (!FRtcp.AdmitSource(SourceId, Address, Port, Platform::TickCount())) Sender->DisconnectClient(SourceId);
  } catch (const Exception& E) {
    WriteLog("OnRtcpSourceConnected Exception: " + E.Message());
  }
}

void TRtpSession::OnRtcpData(TTPKTServer* Sender, int32_t SourceId, const void* Data, uint32_t Size) {
  try {
    // A source that is no peer's is let go: the table of the RTCP port holds
    // the peers' sources only.
    int32_t PeerId = 0;
    const TRtcpSourceVerdict Verdict = FRtcp.PeerOfSource(SourceId, PeerId);
    if (Verdict == TRtcpSourceVerdict::NotPeer) Sender->DisconnectClient(SourceId);
    if (Verdict == TRtcpSourceVerdict::Read) ReadRtcp(PeerId, static_cast<const uint8_t*>(Data), Size);
  } catch (const Exception& E) {
    WriteLog("OnRtcpData Exception: " + E.Message());
  }
}

void TRtpSession::ReadRtcp(int32_t PeerId, const uint8_t* Data, uint32_t Size) {
  // SRTCP: the parser sees the compound decrypted, and nothing that failed its tag.
  std::vector<uint8_t> Plain;
  if (!FSrtp.UnprotectRtcp(Data, Size, Plain)) return;
  FRtcp.Receive(PeerId, Data, Size, FCodec.SendIdentity().Ssrc, FCalls, TSessionRtcp::TClock::now());
}
