#include "rtp/rtp_session.h"

#include <chrono>

#include "audio/mesure_streams.h"
#include "config/start_values.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/exception.h"
#include "platform/process.h"
#include "transport/tpkt_server.h"

namespace {
constexpr uint32_t MeasureIntervalMs = 10000;
// The start datagram is repeated this often while no peer answers.
constexpr uint32_t HelloRepeatMs = 1000;
// A source of the RTCP port silent this many report intervals is let go
// (RFC 3550's time-out of a member).
constexpr uint32_t RtcpSourceIntervals = 5;
}  // namespace

TRtpSession::TRtpSession() : FAudioFormat(ALawFormatInfo.Format), FSendBuffer(0, 0, 0) {
  // The order of the original construction: format, multiple, interval, the
  // receive and send sizes, payload type, identity (seeded in FCodec), version,
  // buffers; the thread exists already and stays suspended until the start.
  FCodec.SetBufSizeMultiple(FRtpBufSizeMultiple);
  FCodec.SetMaxRecvSequenceNumberInterval(1000);
  ComputeReceiveSizes();
  ComputeSendSizes();
  FCodec.SetPayloadType(8);
  FCodec.SetVersion(2);
  FFixed.Dimension(FReceivePayloadBytes, FReceiveBufCount);
  FFixed.SetPayloadBytes(FReceivePayloadBytes);
  FSendBuffer.SetThreshold(FSendPayloadBytes);
  FSendBuffer.SetReadMax(static_cast<uint32_t>(FSendPayloadBytes));
  FSendBuffer.SetCapacity(FSendBufCount * FSendPayloadBytes);
}

TRtpSession::~TRtpSession() {
  if (FActive) SetActive(false);
  // The thread uses this object's members: end it before they go (a parked
  // thread wakes for it).
  Terminate();
  WaitFor();
}

// ---- configuration ----------------------------------------------------------

void TRtpSession::ComputeReceiveSizes() { FReceivePayloadBytes = RtpPayloadBytes(FReceivePayloadTime, FAudioFormat); }

void TRtpSession::ComputeSendSizes() {
  FSendPayloadBytes = RtpPayloadBytes(FSendPayloadTime, FAudioFormat);
  FCodec.SetTimestampStep(RtpTimestampStep(FSendPayloadTime, FAudioFormat));
}

void TRtpSession::SetAudioFormat(const Platform::TWaveFormat& Value) {
  if (FActive) return;
  FAudioFormat = Value;
  // The jitter buffers keep their dimensions until a duration or count changes.
  ComputeReceiveSizes();
  ComputeSendSizes();
}

void TRtpSession::SetPayloadType(uint8_t Value) {
  FCodec.SetPayloadType(Value);
  FPeers.SetPayloadType(FCodec.PayloadType());
}

void TRtpSession::SetRtpBufSizeMultiple(uint16_t Value) {
  if (FActive || Value == FRtpBufSizeMultiple) return;
  FRtpBufSizeMultiple = Value;
  FCodec.SetBufSizeMultiple(Value);
  ComputeReceiveSizes();
  ComputeSendSizes();
}

void TRtpSession::SetReceivePayloadTime(uint16_t Value) {
  if (FActive || Value == FReceivePayloadTime) return;
  FReceivePayloadTime = Value;
  ComputeReceiveSizes();
  FFixed.SetPayloadBytes(FReceivePayloadBytes);
}

void TRtpSession::SetReceiveBufCount(int32_t Value) {
  if (FActive) return;
  FReceiveBufCount = Value;
  FFixed.Dimension(FReceivePayloadBytes, FReceiveBufCount);
}

void TRtpSession::SetSendPayloadTime(uint16_t Value) {
  if (FActive || Value == FSendPayloadTime) return;
  FSendPayloadTime = Value;
  ComputeSendSizes();
  FSendBuffer.SetThreshold(FSendPayloadBytes);
  FSendBuffer.SetReadMax(static_cast<uint32_t>(FSendPayloadBytes));
  FSendBuffer.SetCapacity(FSendBufCount * FSendPayloadBytes);
}

void TRtpSession::SetSendBufCount(int32_t Value) {
  if (FActive) return;
  FSendBufCount = Value;
  FSendBuffer.SetCapacity(FSendBufCount * FSendPayloadBytes);
}

// ---- start and stop ---------------------------------------------------------

void TRtpSession::SetActive(bool Value) {
  if (Value == FActive) {
    if (!Terminated()) {
      if (Value)
        Resume();
      else
        Suspend();
    }
    return;
  }
  if (Value)
    Start();
  else
    Stop();
}

void TRtpSession::Start() {
  TSessionDevices::ValidateLimits(FRecordEnabled, FPlayEnabled, {FReceiveBufCount, FReceivePayloadBytes, FReceivePayloadTime},
                                  {FSendBufCount, FSendPayloadBytes, FSendPayloadTime});
  FActive = true;
  const uint32_t Now = Platform::TickCount();
  FStartTick = Now;
  FActivity.Reset(Now);
  TRtcpSettings Rtcp = FRtcpSettings;
  if (Rtcp.Mode == TRtcpMode::Port && (FLocalPort == 0 || FLocalPort == 65535)) {
    // The peers could not tell our RTCP port from a port the system picks.
    WriteLog(Format("[Rtcp] Mode=port needs a LocalPort of 1..65534, not %d; RTCP is off", FLocalPort));
    Rtcp.Mode = TRtcpMode::Off;
  }
  FRtcp.Configure(Rtcp, FAudioFormat.nSamplesPerSec);
  FRtcp.Start(TSessionRtcp::TClock::now(), std::chrono::system_clock::now());
  {
    // Under the lock: a metrics reader may look at the processors meanwhile.
    Platform::TLockGuard Guard(FProcessorLock);
    StartProcessors();
  }
  if (DoLog) WriteLog("RTP session processor -> started");
  if (!Terminated()) Resume();
}

void TRtpSession::StartProcessors() {
  FMixer = std::make_unique<TTCPAudioMixer>(FTCPServerListenIP, FTCPServerListenPort);
  if (DoLog) WriteLog("Audio mixer processor -> started");
  StartTransport();
  if (DoLog) WriteLog("UDP sender/receiver processor -> started");
  if (FRtcp.Mode() == TRtcpMode::Port) StartRtcpTransport();
  if (FRtcp.On() && DoLog) WriteLog("RTCP sender/receiver processor -> started");
  if (FSaveWavData) {
    FRaw.Open(FRawFileDir);
    if (DoLog) WriteLog("Raw file saver -> started");
  }
  StartPaths();
  if (FRecordEnabled) {
    const bool Running = FDevices.StartRecorder();
    if (DoLog) WriteLog(Running ? "Sound recorder processor -> started" : "Sound recorder processor -> not started");
  }
  if (FPlayEnabled) {
    const bool Running = FDevices.StartPlayer();
    if (DoLog) WriteLog(Running ? "Sound player processor -> started" : "Sound player processor -> not started");
    FTransport->OnClientData() = [this](TTPKTServer* S, int32_t Id, const void* Data, uint32_t Size) {
      OnReceiveData(S, Id, Data, Size);
    };
  }
}

void TRtpSession::StartPaths() {
  FCodec.SetAwaitingFirstStream(true);
  FCodec.SetMarkerPending();
  const uint32_t ByteRate = FAudioFormat.nAvgBytesPerSec;
  FSend.Reset(ByteRate > 0 ? std::chrono::microseconds(int64_t{FSendPayloadBytes} * 1000000 / ByteRate)
                           : std::chrono::milliseconds(FSendPayloadTime),
              FSendBufCount);
  // Chosen before any datagram can arrive: the transport's data handler is
  // assigned after the devices.
  FFixed.SetByteRate(FAudioFormat.nAvgBytesPerSec);
  FAdaptive.Configure(FAdaptiveSettings, FReceiveBufCount);
  TReceivePath* Path = FAdaptiveConfigured ? static_cast<TReceivePath*>(&FAdaptive) : &FFixed;
  FReceive = Path;
  FCodec.SetStreamTracking(Path->TracksStreams());
  Path->Start();
}

void TRtpSession::Stop() {
  FActive = false;
  {
    Platform::TLockGuard Guard(FProcessorLock);
    StopProcessors();
    FReceive.load()->Stop();
  }
  FFixed.Clear();
  FAdaptive.Clear();
  FCalls.Clear();
  FRtcp.Clear();
  FSendBuffer.Clear();
  if (!Terminated()) Suspend();
}

void TRtpSession::StopProcessors() {
  if (FTransport) {
    FTransport->OnConnect() = nullptr;
    FTransport->OnClientData() = nullptr;
  }
  if (FRecordEnabled && FDevices.StopRecorder() && DoLog) WriteLog("Sound recorder processor -> stopped");
  if (FPlayEnabled && FDevices.StopPlayer() && DoLog) WriteLog("Sound player processor -> stopped");
  // Only what the start opened: after a start that failed before or at the
  // files there is no saver to report stopped.
  if (FSaveWavData && FRaw.Close() && DoLog) WriteLog("Raw file saver -> stopped");
  if (FRtcp.On() && FTransport) {
    // The peers hear that we go while there is still a way to tell them.
    SendRtcp(true);
    if (FRtcpTransport) {
      FRtcpTransport->OnConnect() = nullptr;
      FRtcpTransport->OnClientData() = nullptr;
      FRtcpTransport->SetActive(false);
      FRtcpTransport->OnError() = nullptr;
      FRtcpTransport->OnDisconnect() = nullptr;
      FRtcpTransport.reset();
    }
    if (DoLog) WriteLog("RTCP sender/receiver processor -> stopped");
  }
  if (FTransport) {
    FTransport->SetActive(false);
    FTransport->OnError() = nullptr;
    FTransport->OnDisconnect() = nullptr;
    FTransport.reset();
    if (DoLog) WriteLog("UDP sender/receiver processor -> stopped");
  }
  if (FMixer) {
    FMixer->Terminate();
    FMixer->WaitFor();
    FMixer.reset();
    if (DoLog) WriteLog("Audio mixer processor -> stopped");
  }
}

// ---- host operations --------------------------------------------------------

TSessionMetrics TRtpSession::Metrics() {
  TSessionMetrics M;
  const uint32_t Now = Platform::TickCount();
  M.Active = FActive;
  M.ActiveMs = M.Active ? Now - FStartTick : 0;
  M.PeerConnections = FPeers.Connections();
  M.Datagrams = FDatagrams;
  for (size_t I = 0; I < RtpVerdictCount; ++I) M.Verdicts[I] = FVerdicts[I];
  M.Refused = FPeers.RefusedSender();
  M.Rtcp = FPeers.Rtcp();
  M.OtherPayloadType = FPeers.OtherPayloadType();
  M.PacketsSent = FSend.PacketsSent();
  M.BytesSent = FSend.BytesSent();
  M.DeviceReopens = FDeviceReopens;
  M.PlayedBytes = FActivity.PlayedBytes();
  M.ReceiveBuffer = FFixed.Buffer().Stats();
  M.SendBuffer = FSendBuffer.Stats();
  M.Calls = FCalls.View();
  M.RtcpReports = FRtcp.Metrics();
  M.Srtp = FSrtp.Counts();
  Platform::TLockGuard Guard(FProcessorLock);
  M.Peers = FTransport ? FTransport->ClientCount() : 0;
  if (FMixer) M.Mixer = FMixer->Stats();
  M.Capture = FActivity.Capture(FDevices.Recording(), Now);
  M.Playback = FActivity.Playback(FDevices.Playing(), Now);
  return M;
}

void TRtpSession::CheckDevices() {
  if (!FActive) return;
  Platform::TLockGuard Guard(FProcessorLock);
  FDeviceReopens += FDevices.Reopen(FRecordEnabled, FPlayEnabled);
}

void TRtpSession::CheckInactivePeers() {
  TTPKTServer* Transport = HostTransport();
  if (!Transport) return;
  std::string Ids;
  if (Transport->DisconnectIdleClients(FDisconnectTimeOut, Ids)) {
    if (DoLog) WriteLog("DISCONNECT_INACTIVE [" + Ids + "]");
    // The next conversation starts with a new identity; a peer that stays is
    // still in this one and keeps hearing the same source.
    if (FPeers.LastPeersAmong(Ids)) FCodec.ResetSendIdentity();
  }
  // The RTCP port's sources of peers that have gone (silently: they are no peers).
  if (TTPKTServer* Rtcp = HostRtcpTransport()) Rtcp->DisconnectIdleClients(RtcpSourceIntervals * FRtcp.IntervalMs(), Ids);
}

void TRtpSession::SendHello() {
  TTPKTServer* Transport = HostTransport();
  if (!Transport) return;
  const uint8_t Hello[20] = {};
  FLastHelloTick = Platform::TickCount();
  FHelloSent = true;
  Transport->SendTo(FRemoteIP, FRemotePort, Hello, sizeof(Hello));
}

void TRtpSession::RepeatHello() {
  // A remote side that began to listen after the first one, or whose peer was
  // dropped, hears from the bridge again within a second.
  if (!FActive || FPeers.PeerCount() > 0) return;
  if (FHelloSent && Platform::TickCount() - FLastHelloTick < HelloRepeatMs) return;
  SendHello();
}

// ---- the session thread -----------------------------------------------------

void TRtpSession::Execute() {
  Platform::RaiseToRealtimePriority();
  std::unique_ptr<TMesureStreams> Measure;
  if (FNeedMeasure) Measure = std::make_unique<TMesureStreams>(MeasureIntervalMs);
  while (KeepRunning()) {
    const Platform::TWaitResult R =
        Platform::WaitForEither(FReceive.load()->DataEvent(), FSendBuffer.DataEvent(), WaitMs());
    Pass(R != Platform::TWaitResult::TimedOut, Measure.get());
    if (Measure && Measure->IsDue()) {
      Measure->Report();
      if (const std::string Line = FReceive.load()->ReportLine(); !Line.empty()) WriteLogTo(Line, "measure");
    }
  }
}

uint32_t TRtpSession::WaitMs() {
  Platform::TLockGuard Guard(FProcessorLock);
  const TPlayout Out(FDevices.Player(), FMixer.get(), nullptr, FActivity);
  const uint32_t Wait = FReceive.load()->WaitMs(Out, Platform::TickCount());
  // The next RTCP report is one more thing the wait ends for.
  return FRtcp.On() ? std::min(Wait, FRtcp.DueInMs(TSessionRtcp::TClock::now())) : Wait;
}

void TRtpSession::Pass(bool Woken, TMesureStreams* Measure) {
  Platform::TLockGuard Guard(FProcessorLock);
  if (FPlayEnabled) {
    TPlayout Out(FDevices.Player(), FMixer.get(), Measure, FActivity);
    // An unattended bridge logs a failure on the receive side and goes on.
    try {
      FReceive.load()->Play(Out);
    } catch (const Exception& E) {
      WriteLog("Receive side Exception: " + E.Message());
    }
  }
  if (Woken) SendRecorded(Measure);
  if (FRtcp.On() && FRtcp.DueInMs(TSessionRtcp::TClock::now()) == 0) SendRtcp(false);
}

void TRtpSession::SendRecorded(TMesureStreams* Measure) {
  TAudioBlock Block;
  if (!FSendBuffer.Read(0, Block) || Block.Size == 0) return;
  // Without a peer the block is dropped: no packet, no sequence number used. A
  // refused sender waiting to leave is no peer.
  if (!FTransport || FPeers.PeerCount() == 0) return;
  if (!FSend.Send(Block.Data.get(), Block.Size, *FTransport, FMixer.get(), FSaveWavData ? &FRaw : nullptr)) return;
  if (FRtcp.On()) FRtcp.Sent(FSend.LastSent(), TSessionRtcp::TClock::now());
  if (Measure) Measure->AddSent(Block.Size);
}

void TRtpSession::SendRtcp(bool Bye) {
  TTPKTServer* Via = FRtcp.Mode() == TRtcpMode::Port ? FRtcpTransport.get() : FTransport.get();
  if (!Via) return;
  try {
    TSessionRtcp::TPacket Packet;
    std::vector<TRtcpDestination> To;
    uint32_t Size =
        FRtcp.Report(TSessionRtcp::TClock::now(), FCodec.SendIdentity().Ssrc, FCalls.ReceptionReports(), Bye, Packet, To);
    // With [Srtp] the reports are SRTCP, protected once for every peer: in the
    // clear they would tell who talks to whom and could be forged.
    if (Size > 0) Size = FSrtp.ProtectRtcp(Packet.data(), Size, Packet.size());
    bool Left = false;
    for (const TRtcpDestination& D : To)
      if (Size > 0 && Via->SendTo(D.Address, D.Port, Packet.data(), Size)) Left = true;
    if (Left) FRtcp.CountSent();
  } catch (const Exception& E) {
    WriteLog("RTCP Exception: " + E.Message());
  }
}

void TRtpSession::AddRecordedData(const Platform::WAVEHDR& Header) {
  FActivity.Captured(Platform::TickCount());
  FSendBuffer.Write(reinterpret_cast<const uint8_t*>(Header.lpData), static_cast<uint16_t>(Header.dwBytesRecorded));
}
