#include "rtp/rtp_session.h"

#include <algorithm>
#include <chrono>

#include "access/access_policy.h"
#include "audio/mesure_streams.h"
#include "audio/player.h"
#include "config/start_values.h"
#include "log/log.h"
#include "mixer/tcp_audio_mixer.h"
#include "platform/clock.h"
#include "platform/exception.h"
#include "platform/g711.h"
#include "platform/mutex.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "transport/tpkt_server.h"

namespace {
// The limits of the device buffers that the settings must keep.
constexpr int32_t DeviceBufferBytes = static_cast<int32_t>(TWaveDevice::BufferBytes);
constexpr int32_t MaxReceiveBufCount = TWaveDevice::MaxBuffers;
constexpr uint32_t LoopWaitMs = 100;
constexpr uint32_t MeasureIntervalMs = 10000;
// A device that moved no audio for this long while it should have is stalled.
constexpr uint32_t StallMs = 1000;
// The start datagram is repeated this often while no peer answers.
constexpr uint32_t HelloRepeatMs = 1000;
// Adaptive mode: a frame is taken from the buffer this long before the player
// runs out of audio, so that it has waited in the buffer (where waiting guards
// against jitter) as long as possible and in the device (where it guards
// against nothing) only as long as the session thread may be late. The loop
// wakes when the next frame is due; while a stream is about to start it looks
// this often; with nothing to play, a packet wakes it.
constexpr uint32_t AdaptiveLeadMs = 10;
constexpr uint32_t AdaptiveStartingWaitMs = 5;
constexpr uint32_t AdaptiveLiveMs = 1000;  // a stream is live this long after its last packet
constexpr int32_t AdaptiveQueuedFrames = 2;
constexpr uint32_t AdaptiveCatchUpMs = 200;  // without a device: how far behind its pace the session catches up
constexpr uint32_t AdaptiveFrameBytes = TAdaptiveStream::FrameSamples;
constexpr uint32_t AdaptiveFrameMs = AdaptiveFrameBytes / 8;

// The raw file for a stream, named by the local time to the second; a file of
// that name (two starts in one second, the hour repeated when the clocks go
// back) is kept and the new one gets a counter: "RawRecv_..._1.raw".
std::unique_ptr<Platform::TWriteStream> CreateRawFile(const std::string& Dir, const char* Prefix) {
  const Platform::TLocalTime T = Platform::LocalNow();
  const std::string Base = (Dir.empty() ? Platform::ExeDir() : Dir) + Prefix +
                           Format("%04d_%02d_%02d_%02d%02d%02d", T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second);
  constexpr int MaxCounter = 9999;
  for (int N = 0; N <= MaxCounter; ++N)
    if (auto File = Platform::TWriteStream::CreateNew(Base + (N == 0 ? "" : Format("_%d", N)) + ".raw")) return File;
  throw Exception(Format("Cannot create file \"%s.raw\". %d files of that name exist", Base.c_str(), MaxCounter + 1));
}
}  // namespace

TRtpSession::TRtpSession()
    : FAudioFormat(ALawFormatInfo.Format), FReceiveBuffer(0, 0, 0), FSendBuffer(0, 0, 0) {
  // The order of the original construction: format, multiple, interval, the
  // receive and send sizes, payload type, identity (seeded in FCodec), version,
  // buffers; the thread exists already and stays suspended until the start.
  FCodec.SetBufSizeMultiple(FRtpBufSizeMultiple);
  FCodec.SetMaxRecvSequenceNumberInterval(1000);
  ComputeReceiveSizes();
  ComputeSendSizes();
  FCodec.SetPayloadType(8);
  FCodec.SetVersion(2);
  FReceiveBuffer.SetThreshold(FReceivePayloadBytes);
  FReceiveBuffer.SetReadMax(static_cast<uint32_t>(FReceiveBufCount * FReceivePayloadBytes));
  FReceiveBuffer.SetCapacity(FReceiveBufCount * FReceivePayloadBytes);
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
  FPayloadFilter.SetPayloadType(FCodec.PayloadType());
}

void TRtpSession::SetRTPVersion(uint8_t Value) { FCodec.SetVersion(Value); }

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
  FReceiveBuffer.SetThreshold(FReceivePayloadBytes);
  FReceiveBuffer.SetReadMax(static_cast<uint32_t>(FReceiveBufCount * FReceivePayloadBytes));
  FReceiveBuffer.SetCapacity(FReceiveBufCount * FReceivePayloadBytes);
}

void TRtpSession::SetReceiveBufCount(int32_t Value) {
  if (FActive) return;
  FReceiveBufCount = Value;
  FReceiveBuffer.SetReadMax(static_cast<uint32_t>(FReceiveBufCount * FReceivePayloadBytes));
  FReceiveBuffer.SetCapacity(FReceiveBufCount * FReceivePayloadBytes);
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

void TRtpSession::SetRecordEnabled(bool Value) {
  if (!FActive) FRecordEnabled = Value;
}

void TRtpSession::SetPlayEnabled(bool Value) {
  if (!FActive) FPlayEnabled = Value;
}

void TRtpSession::SetMaxRecvSequenceNumberInterval(uint16_t Value) {
  if (!FActive) FCodec.SetMaxRecvSequenceNumberInterval(Value);
}

void TRtpSession::SetAdaptiveReceive(bool On, const TAdaptiveSettings& Settings) {
  if (FActive) return;
  FAdaptiveConfigured = On;
  FAdaptiveSettings = Settings;
}

void TRtpSession::SetSaveWavData(bool Value) {
  if (!FActive) FSaveWavData = Value;
}

TTPKTServer* TRtpSession::HostTransport() const {
  Platform::TLockGuard Guard(FProcessorLock);
  return FTransport.get();
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

void TRtpSession::ValidateLimits() const {
  // Settings that would overrun a device buffer or the player's ring are refused
  // here, before anything starts.
  auto Refuse = [](const std::string& Why) {
    WriteLog("RTP session settings refused: " + Why);
    throw Exception("RTP session settings refused: " + Why);
  };
  if (FPlayEnabled && (FReceiveBufCount < 1 || FReceiveBufCount > MaxReceiveBufCount))
    Refuse(Format("ReceiveBufCount=%d is outside 1..%d", FReceiveBufCount, MaxReceiveBufCount));
  if (FPlayEnabled && int64_t{FReceiveBufCount} * FReceivePayloadBytes > DeviceBufferBytes)
    Refuse(Format("ReceiveBufCount=%d x %d bytes of ReceivePayloadTime=%d exceeds %d bytes", FReceiveBufCount,
                  FReceivePayloadBytes, FReceivePayloadTime, DeviceBufferBytes));
  if (FRecordEnabled && FSendPayloadBytes > DeviceBufferBytes)
    Refuse(Format("%d bytes of SendPayloadTime=%d exceed %d bytes", FSendPayloadBytes, FSendPayloadTime,
                  DeviceBufferBytes));
  if (FSendPayloadBytes <= 0 || FReceivePayloadBytes <= 0)
    Refuse(Format("ReceivePayloadTime=%d and SendPayloadTime=%d must give at least one byte", FReceivePayloadTime,
                  FSendPayloadTime));
}

void TRtpSession::Start() {
  ValidateLimits();
  FActive = true;
  const uint32_t Now = Platform::TickCount();
  FStartTick = Now;
  FLastCaptureTick = Now;
  FLastReceiveTick = Now - StallMs;  // nothing received yet
  FLastPlayTick = Now;
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

  {
    auto Transport = std::make_unique<TTPKTServer>();
    Transport->SetListenIP(FLocalIP);
    Transport->SetPort(FLocalPort);
    Transport->SetLayer("UDP");
    Transport->OnError() = [this](TTPKTServer* S, uint8_t Op, const std::string& Msg, int32_t& Code) {
      // A port that cannot be bound fails the start, as the mixer's does, instead
      // of leaving a deaf bridge; later failures are logged and passed over.
      const int32_t Kept = Code;
      OnTransportError(S, Op, Msg, Code);
      if (Op == TTPKTServer::OpStart) Code = Kept;
    };
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
  if (DoLog) WriteLog("UDP sender/receiver processor -> started");

  if (FSaveWavData) {
    OpenRawFiles();
    if (DoLog) WriteLog("Raw file saver -> started");
  }

  FCodec.SetAwaitingFirstStream(true);
  FCodec.SetMarkerPending();
  const uint32_t ByteRate = FAudioFormat.nAvgBytesPerSec;
  FSendPacer.Reset(ByteRate > 0 ? std::chrono::microseconds(int64_t{FSendPayloadBytes} * 1000000 / ByteRate)
                                : std::chrono::milliseconds(FSendPayloadTime),
                   FSendBufCount, std::chrono::steady_clock::now());
  FSendDropped = 0;
  // Chosen before any datagram can arrive: the transport's data handler is
  // assigned further down.
  FAdaptiveMode = FAdaptiveConfigured;
  FCodec.SetStreamTracking(!FAdaptiveConfigured);
  if (FAdaptiveConfigured) {
    FFineTimers.emplace();  // the thread wakes a few ms before a frame is due
    FAdaptiveBuffer.Configure(FAdaptiveSettings);
    if (DoLog)
      WriteLog(Format("Receive mode: adaptive [delay %u..%u ms]", FAdaptiveSettings.MinDelayMs,
                      FAdaptiveSettings.MaxDelayMs));
  }

  if (FRecordEnabled) {
    CreateRecorder();
    if (DoLog)
      WriteLog(FRecorder->Running() ? "Sound recorder processor -> started" : "Sound recorder processor -> not started");
  }
  if (FPlayEnabled) {
    CreatePlayer();
    if (DoLog)
      WriteLog(FPlayer->Running() ? "Sound player processor -> started" : "Sound player processor -> not started");
    FTransport->OnClientData() = [this](TTPKTServer* S, int32_t Id, const void* Data, uint32_t Size) {
      OnReceiveData(S, Id, Data, Size);
    };
  }
}

void TRtpSession::CreateRecorder() {
  FRecorder = std::make_unique<TRecorder>(*this);
  if (FRecorder->SelectDevice() == 0) FRecorder->Start();
}

void TRtpSession::CreatePlayer() {
  FPlayer = std::make_unique<TPlayer>(*this);
  // A player whose list named no device present plays nowhere rather than on
  // whatever device comes first (the room's speakers); an empty list has
  // always meant the first device, and still does.
  const int32_t Selected = FPlayer->SelectDevice();
  if (Selected == 0 || (Selected == -5 && FPlayer->FirstDeviceByDefault())) FPlayer->Start();
}

void TRtpSession::OpenRawFiles() {
  Platform::TLockGuard Guard(FRawLock);
  FRawRecv = CreateRawFile(FRawFileDir, "RawRecv_");
  FRawSent = CreateRawFile(FRawFileDir, "RawSent_");
}

void TRtpSession::Stop() {
  FActive = false;
  {
    Platform::TLockGuard Guard(FProcessorLock);
    if (FTransport) {
      FTransport->OnConnect() = nullptr;
      FTransport->OnClientData() = nullptr;
    }
    if (FRecordEnabled && FRecorder) {
      FRecorder->Stop();
      FRecorder.reset();
      if (DoLog) WriteLog("Sound recorder processor -> stopped");
    }
    if (FPlayEnabled && FPlayer) {
      FPlayer->Stop();
      FPlayer.reset();
      if (DoLog) WriteLog("Sound player processor -> stopped");
    }
    // Only what the start opened: after a start that failed before or at the
    // files there is no saver to report stopped.
    if (FSaveWavData) {
      bool Opened = false;
      {
        Platform::TLockGuard Raw(FRawLock);
        Opened = FRawRecv || FRawSent;
        FRawRecv.reset();
        FRawSent.reset();
      }
      if (Opened && DoLog) WriteLog("Raw file saver -> stopped");
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
    FFineTimers.reset();
  }
  FReceiveBuffer.Clear();
  FAdaptiveBuffer.Clear();
  FSendBuffer.Clear();
  if (!Terminated()) Suspend();
}

// ---- host operations --------------------------------------------------------

TSessionMetrics TRtpSession::Metrics() {
  TSessionMetrics M;
  const uint32_t Now = Platform::TickCount();
  M.Active = FActive;
  M.ActiveMs = M.Active ? Now - FStartTick : 0;
  M.PeerConnections = FPeerConnections;
  M.Datagrams = FDatagrams;
  for (size_t I = 0; I < RtpVerdictCount; ++I) M.Verdicts[I] = FVerdicts[I];
  M.Refused = FFiltered[0];
  M.Rtcp = FFiltered[1];
  M.OtherPayloadType = FFiltered[2];
  M.PacketsSent = FPacketsSent;
  M.BytesSent = FBytesSent;
  M.DeviceReopens = FDeviceReopens;
  M.PlayedBytes = FPlayedBytes;
  M.ReceiveBuffer = FReceiveBuffer.Stats();
  M.SendBuffer = FSendBuffer.Stats();
  Platform::TLockGuard Guard(FProcessorLock);
  M.Peers = FTransport ? FTransport->ClientCount() : 0;
  if (FMixer) M.Mixer = FMixer->Stats();
  if (FRecorder && FRecorder->Running())
    M.Capture = Now - FLastCaptureTick > StallMs ? TDeviceState::Stalled : TDeviceState::Open;
  // A player plays only what comes: it is stalled when audio arrives and none
  // of it is played.
  if (FPlayer && FPlayer->Running())
    M.Playback = Now - FLastReceiveTick <= StallMs && Now - FLastPlayTick > StallMs ? TDeviceState::Stalled
                                                                                    : TDeviceState::Open;
  return M;
}

void TRtpSession::CheckDevices() {
  if (!FActive) return;
  Platform::TLockGuard Guard(FProcessorLock);
  // Only the device that is not running is opened anew: reopening a working
  // one for the other's sake chops its audio every 300 ms.
  if (FRecordEnabled && !(FRecorder && FRecorder->Running())) {
    ++FDeviceReopens;
    FRecorder.reset();
    CreateRecorder();
  }
  if (FPlayEnabled && !(FPlayer && FPlayer->Running())) {
    ++FDeviceReopens;
    FPlayer.reset();
    CreatePlayer();
  }
}

void TRtpSession::CheckInactivePeers() {
  TTPKTServer* Transport = HostTransport();
  if (!Transport) return;
  std::string Ids;
  if (Transport->DisconnectIdleClients(FDisconnectTimeOut, Ids)) {
    if (DoLog) WriteLog("DISCONNECT_INACTIVE [" + Ids + "]");
    // The next conversation starts with a new identity; a peer that stays is
    // still in this one and keeps hearing the same source.
    if (FPeerGate.LastPeersAmong(Ids)) FCodec.ResetSendIdentity();
  }
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
  if (!FActive || FPeerGate.PeerCount() > 0) return;
  if (FHelloSent && Platform::TickCount() - FLastHelloTick < HelloRepeatMs) return;
  SendHello();
}

// ---- the session thread -----------------------------------------------------

void TRtpSession::Execute() {
  Platform::RaiseToRealtimePriority();
  std::unique_ptr<TMesureStreams> Measure;
  if (FNeedMeasure) Measure = std::make_unique<TMesureStreams>(MeasureIntervalMs);
  TRtpPacketBuffer Packet{};
  while (KeepRunning()) {
    const bool Adaptive = FAdaptiveMode;
    const Platform::TWaitResult R = Platform::WaitForEither(FReceiveBuffer.DataEvent(), FSendBuffer.DataEvent(),
                                                            Adaptive ? AdaptiveWait() : LoopWaitMs);
    const bool Woken = R != Platform::TWaitResult::TimedOut;
    if (Woken || Adaptive) {
      Platform::TLockGuard Guard(FProcessorLock);
      // In adaptive mode the receive buffer's event only rings the bell.
      if (Adaptive) FReceiveBuffer.DataEvent().Reset();
      // An unattended bridge logs a failure on the receive side and goes on.
      try {
        PlayReceived(Measure.get());
      } catch (const Exception& E) {
        WriteLog("Receive side Exception: " + E.Message());
      }
      if (Woken) SendRecorded(Packet, Measure.get());
    }
    if (Measure && Measure->IsDue()) {
      Measure->Report();
      if (Adaptive) WriteLogTo(FAdaptiveBuffer.ReportLine(), "measure");
    }
  }
}

void TRtpSession::PlayReceived(TMesureStreams* Measure) {
  if (!FPlayEnabled) return;
  if (FAdaptiveMode) {
    PlayAdaptive(Measure);
    return;
  }
  // Without a playing earpiece (none found, busy, unplugged) the audio is
  // still taken as it comes, so that the recording keeps what the peer said.
  const bool Playing = FPlayer && FPlayer->Running();
  if (Playing && !FPlayer->IsReady()) {
    // The data stays buffered; the next packet sets the event again.
    FReceiveBuffer.DataEvent().Reset();
    return;
  }
  TAudioBlock Block;
  if (!FReceiveBuffer.Read(0, Block) || Block.Size == 0) return;
  if (Playing) PlayOnDevice(Block.Data.get(), Block.Size);
  // The received raw file took this audio on arrival; the mixer's received
  // channel takes it here.
  if (FMixer) FMixer->AddBuffer(Block.Data.get(), Block.Size, 1);
  if (Measure) Measure->AddReceived(Block.Size);
}

void TRtpSession::PlayOnDevice(const uint8_t* Data, uint32_t Size) {
  if (FPlayer->Play(Data, static_cast<int32_t>(Size)) != 0) return;
  FLastPlayTick = Platform::TickCount();
  FPlayedBytes += Size;
}

int32_t TRtpSession::AdaptiveQueued(uint32_t Now) const {
  if (FPlayer && FPlayer->Running()) return FPlayer->QueuedCount();
  // Without a device the session keeps the pace itself: the frames "queued"
  // are those whose time has not yet run out. A session thread that woke late
  // (a busy machine) owes the frames of the time it lost and takes them at
  // once: nothing limits it as a device would, and the recording loses nothing.
  const int32_t Ahead = static_cast<int32_t>(FAdaptivePlayedUntil - Now);
  if (Ahead > 0) return (Ahead + static_cast<int32_t>(AdaptiveFrameMs) - 1) / static_cast<int32_t>(AdaptiveFrameMs);
  return Ahead > -static_cast<int32_t>(AdaptiveCatchUpMs) ? 1 : 0;
}

uint32_t TRtpSession::AdaptiveWait() {
  Platform::TLockGuard Guard(FProcessorLock);
  const uint32_t Now = Platform::TickCount();
  if (AdaptiveQueued(Now) > 0) {
    const int32_t Due = static_cast<int32_t>(FAdaptivePlayedUntil - AdaptiveLeadMs - Now);
    // Past due with the player still full: its clock runs slower than ours.
    return static_cast<uint32_t>(std::clamp<int32_t>(Due, 2, static_cast<int32_t>(LoopWaitMs)));
  }
  return Now - FLastReceiveTick.load() < AdaptiveLiveMs ? AdaptiveStartingWaitMs : LoopWaitMs;
}

// One 20 ms frame at a time, when it is due: the adaptive buffer plays from
// the device's pace, and makes up what is missing.
void TRtpSession::PlayAdaptive(TMesureStreams* Measure) {
  const bool Playing = FPlayer && FPlayer->Running();
  uint8_t Frame[AdaptiveFrameBytes];
  while (!Playing || FPlayer->IsReady()) {
    const uint32_t Now = Platform::TickCount();
    const int32_t Queued = AdaptiveQueued(Now);
    FAdaptiveIdle = Queued == 0;
    if (Queued > 0 && (Queued >= AdaptiveQueuedFrames ||
                       static_cast<int32_t>(FAdaptivePlayedUntil - Now) > static_cast<int32_t>(AdaptiveLeadMs)))
      return;
    if (!FAdaptiveBuffer.Pull(Frame, Now)) return;
    if (Queued == 0) {
      // The player starts from empty: the lead goes first, as silence, so
      // that the frames after this one are taken as long before their turn.
      FAdaptivePlayedUntil = Now;
      if (Playing && FReceiveBufCount >= AdaptiveQueuedFrames) {
        uint8_t Lead[AdaptiveLeadMs * 8];
        std::fill(std::begin(Lead), std::end(Lead), Platform::ALawSilence);
        if (FPlayer->Play(Lead, static_cast<int32_t>(sizeof(Lead))) == 0) FAdaptivePlayedUntil += AdaptiveLeadMs;
      }
    }
    if (Playing && static_cast<int32_t>(FAdaptivePlayedUntil - Now) < 0) FAdaptivePlayedUntil = Now;
    FAdaptivePlayedUntil += AdaptiveFrameMs;
    FAdaptiveIdle = false;
    if (Playing) PlayOnDevice(Frame, AdaptiveFrameBytes);
    if (FMixer) FMixer->AddBuffer(Frame, AdaptiveFrameBytes, 1);
    if (Measure) Measure->AddReceived(AdaptiveFrameBytes);
  }
}

void TRtpSession::SendRecorded(TRtpPacketBuffer& Packet, TMesureStreams* Measure) {
  TAudioBlock Block;
  if (!FSendBuffer.Read(0, Block) || Block.Size == 0) return;
  // Without a peer the block is dropped: no packet, no sequence number used. A
  // refused sender waiting to leave is no peer.
  if (!FTransport || FPeerGate.PeerCount() == 0) return;
  // A backlog handed over at once after a stall leaves as at most SendBufCount
  // packets together; the rest is dropped, so that the peer gets no burst and
  // the delay does not grow.
  if (!FSendPacer.Take(std::chrono::steady_clock::now())) {
    ++FSendDropped;
    return;
  }
  if (FSendDropped > 0) {
    if (DoLog) WriteLog(Format("Send burst after a stall: %d captured packets dropped", FSendDropped));
    FSendDropped = 0;
  }
  OnRecordWaveBuffer(Block.Data.get(), Block.Size, Packet);
  if (Measure) Measure->AddSent(Block.Size);
}

void TRtpSession::OnRecordWaveBuffer(const uint8_t* Data, uint32_t Size, TRtpPacketBuffer& Packet) {
  try {
    const uint32_t Length = FCodec.BuildPacket(Data, Size, Packet);
    if (Length == 0) return;
    const TRtpDatagramInfo Info = ParseRtpDatagram(Packet.data(), static_cast<uint16_t>(Length));
    if (Info.PayloadLength > 0) {
      const uint8_t* Payload = Packet.data() + Info.PayloadOffset;
      if (FMixer) FMixer->AddBuffer(Payload, static_cast<uint32_t>(Info.PayloadLength), 0);
      if (FSaveWavData) AppendRaw(true, Payload, static_cast<size_t>(Info.PayloadLength));
    }
    const int Peers = FTransport->ClientCount();
    if (FTransport->SendToAll(Packet.data(), Length)) {
      ++FPacketsSent;
      FBytesSent += uint64_t{Length} * static_cast<uint64_t>(Peers);
    }
  } catch (const Exception& E) {
    WriteLog("OnRecordWaveBuffer Exception: " + E.Message());
  }
}

void TRtpSession::AppendRaw(bool Sent, const void* Data, size_t Size) {
  Platform::TLockGuard Guard(FRawLock);
  const std::unique_ptr<Platform::TWriteStream>& File = Sent ? FRawSent : FRawRecv;
  if (File) File->Write(Data, Size);
}

void TRtpSession::AddRecordedData(const Platform::WAVEHDR& Header) {
  FLastCaptureTick = Platform::TickCount();
  FSendBuffer.Write(reinterpret_cast<const uint8_t*>(Header.lpData), static_cast<uint16_t>(Header.dwBytesRecorded));
}

// ---- transport handlers -----------------------------------------------------

void TRtpSession::OnNewClientConnected(TTPKTServer* Sender, int32_t ClientId, const std::string& Address,
                                       int32_t Port) {
  try {
    if (FPeerGate.Decide(AccessPolicy(), ClientId, Address, Port, Platform::TickCount()) != TPeerVerdict::Admitted) {
      // Never a peer: the transport sends it nothing from now on, and its
      // datagrams are ignored until it has gone.
      Sender->DisconnectClient(ClientId);
      return;
    }
    ++FPeerConnections;
    // Only a session that plays learns of its peers in the log.
    if (DoLog && FPlayEnabled) WriteLog(Format("CONNECTED: [ID=%d,IP=<%s>,Port=<%d>]", ClientId, Address.c_str(), Port));
  } catch (const Exception& E) {
    WriteLog("OnNewClientConnected Exception: " + E.Message());
  }
}

void TRtpSession::OnClientDisconnected(TTPKTServer*, int32_t ClientId, const std::string& Address, int32_t Port) {
  // A refused sender was never a peer: its going is no peer's.
  size_t PeersLeft = 0;
  if (!FPeerGate.Leave(ClientId, &PeersLeft)) return;
  FPayloadFilter.Forget(ClientId);
  FLongPackets.Forget(ClientId);
  if (DoLog) WriteLog(Format("DISCONNECTED: [ID=%d,IP=<%s>,Port=<%d>]", ClientId, Address.c_str(), Port));
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
  if (FPeerGate.Refused(ClientId)) {
    ++FFiltered[0];
    return;
  }
  const TRtpPayloadVerdict Payload = FPayloadFilter.Check(ClientId, static_cast<const uint8_t*>(Data), Size);
  if (Payload != TRtpPayloadVerdict::Play) {
    ++FFiltered[Payload == TRtpPayloadVerdict::Rtcp ? 1 : 2];
    return;
  }
  try {
    TRtpDatagramInfo Info;
    const uint8_t* Bytes = static_cast<const uint8_t*>(Data);
    const uint32_t Now = Platform::TickCount();
    // One stream is played at a time: another sender's takes over once the
    // played one has been silent for two packets' time.
    const TRtpVerdict Verdict = FCodec.Check(Bytes, Size, &Info, {ClientId, Now, 2u * FReceivePayloadTime});
    ++FVerdicts[static_cast<size_t>(Verdict)];
    if (Verdict != TRtpVerdict::Accepted) return;
    FLastReceiveTick = Now;
    const uint8_t* Payload = Bytes + Info.PayloadOffset;
    if (FAdaptiveMode) {
      const TPushResult R = FAdaptiveBuffer.Push(Info.Ssrc, Info.SequenceNumber, Info.Timestamp, Payload,
                                                 static_cast<uint32_t>(Info.PayloadLength), Platform::TickCount());
      // A player with nothing to play is woken by the first packet.
      if (R == TPushResult::Stored && FAdaptiveIdle) FReceiveBuffer.DataEvent().Set();
      // The raw file takes what arrived, once: a repeat is not written again.
      if (R != TPushResult::Stored && R != TPushResult::Late) return;
    } else {
      const uint32_t Kept = FLongPackets.Keep(ClientId, static_cast<uint32_t>(Info.PayloadLength), FReceiveBufCount,
                                              FReceivePayloadBytes);
      FReceiveBuffer.WritePacket(Payload, static_cast<uint16_t>(Kept));
    }
    if (FSaveWavData) AppendRaw(false, Payload, static_cast<size_t>(Info.PayloadLength));
  } catch (const Exception& E) {
    WriteLog("OnReceiveData Exception: " + E.Message());
  }
}

void TRtpSession::OnTransportError(TTPKTServer*, uint8_t Operation, const std::string& Msg, int32_t& ErrorCode) {
  if (DoLog)
    WriteLog(Format("%d:Error. Operation: %d. Error: %s(%d). TID: %d", FLocalPort, Operation, Msg.c_str(), ErrorCode,
                    static_cast<int>(Platform::CurrentThreadId())));
  ErrorCode = 0;
}
