#pragma once
// TRtpSession: the running call bridge. One object owns every processor (the
// TCP audio mixer, the UDP transport, the raw stream files, the sound recorder
// and player) and is itself the worker thread that moves audio between them:
// captured blocks become RTP packets sent to every peer (the send path),
// accepted packets from the peers are played (the receive path, fixed or
// adaptive, chosen at the start), and both directions feed the mixer and the
// raw files. The devices and their watchdog are a unit of their own.
//
// Threads and what they touch:
// - host thread: construction, configuration, Active, the device watchdog, the
//   inactivity check, the start datagram, destruction;
// - session thread (Execute): the receive path's playing side, the send
//   buffer's reading side, the send path, the mixer, the raw files;
// - the transport library's network thread: peer connect/disconnect and the
//   receive path's writing side;
// - wave-in callback thread: AddRecordedData into the send jitter buffer.
// FProcessorLock keeps the host thread from replacing or freeing a processor
// while the session thread or a metrics reader uses it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/adaptive_buffer.h"
#include "audio/jitter_buffer.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "mixer/tcp_audio_mixer.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/wave_format.h"
#include "rtp/adaptive_receive_path.h"
#include "rtp/call_quality.h"
#include "rtp/fixed_receive_path.h"
#include "rtp/raw_files.h"
#include "rtp/rtp_codec.h"
#include "rtp/send_path.h"
#include "rtp/session_devices.h"
#include "rtp/session_peers.h"
#include "rtp/session_rtcp.h"
#include "rtp/session_srtp.h"

class TTPKTServer;
class TMesureStreams;

// What the session has done since it was created (counters) and how it is now.
struct TSessionMetrics {
  bool Active = false;
  uint32_t ActiveMs = 0;  // since the last start
  int Peers = 0;
  uint64_t PeerConnections = 0;
  uint64_t Datagrams = 0;                     // received, whatever came of them
  uint64_t Verdicts[RtpVerdictCount] = {};    // by TRtpVerdict; [Accepted] = accepted
  uint64_t Refused = 0, Rtcp = 0, OtherPayloadType = 0;  // stopped before the acceptance rules
  uint64_t PacketsSent = 0, BytesSent = 0;    // bytes: every datagram to every peer
  TDeviceState Capture = TDeviceState::Missing, Playback = TDeviceState::Missing;
  uint64_t DeviceReopens = 0;  // one for each device the watchdog opened anew
  uint64_t PlayedBytes = 0;    // received audio written to the playback device
  TJitterStats ReceiveBuffer, SendBuffer;
  TMixerStats Mixer;  // zero while stopped
  TCallQualityView Calls;  // peers, the current call's figures, the plot, the last records
  TRtcpMetrics RtcpReports;  // what [Rtcp] sent and read (the counts above are RTCP ignored)
  TSrtpCounts Srtp;        // On: the call is encrypted
};

class TRtpSession : public Platform::TThread, public TRecorderSession, public TPlayerSession {
public:
  TRtpSession();
  ~TRtpSession() override;

  // Configuration. Those marked frozen are ignored while Active.
  void SetLocalIP(const std::string& Value) { FLocalIP = Value; }
  void SetLocalPort(uint16_t Value) { FLocalPort = Value; }
  void SetRemoteIP(const std::string& Value) { FRemoteIP = Value; }
  void SetRemotePort(uint16_t Value) { FRemotePort = Value; }
  void SetTCPServerListenIP(const std::string& Value) { FTCPServerListenIP = Value; }
  void SetTCPServerListenPort(uint16_t Value) { FTCPServerListenPort = Value; }
  void SetDisconnectTimeOut(uint32_t Value) { FDisconnectTimeOut = Value; }
  void SetAudioFormat(const Platform::TWaveFormat& Value);   // frozen
  void SetPayloadType(uint8_t Value);                        // kept only below 128
  void SetRTPVersion(uint8_t Value) { FCodec.SetVersion(Value); }
  void SetRtpBufSizeMultiple(uint16_t Value);                // frozen
  void SetReceivePayloadTime(uint16_t Value);                // frozen
  void SetReceiveBufCount(int32_t Value);                    // frozen
  void SetSendPayloadTime(uint16_t Value);                   // frozen
  void SetSendBufCount(int32_t Value);                       // frozen
  void SetRecordEnabled(bool Value) {                         // frozen
    if (!FActive) FRecordEnabled = Value;
  }
  void SetPlayEnabled(bool Value) {                           // frozen
    if (!FActive) FPlayEnabled = Value;
  }
  void SetMaxRecvSequenceNumberInterval(uint16_t Value) {     // frozen
    if (!FActive) FCodec.SetMaxRecvSequenceNumberInterval(Value);
  }
  void SetSaveWavData(bool Value) {                           // frozen
    if (!FActive) FSaveWavData = Value;
  }
  void SetNeedMeasure(bool Value) { FNeedMeasure = Value; }  // read when the thread starts
  // The devices to choose (a number, or a list of names); read at each opening.
  void SetRecDeviceID(const std::string& Value) { FRecDeviceID = Value; }        // frozen
  void SetPlayDeviceID(const std::string& Value) { FPlayDeviceID = Value; }      // frozen
  // The call encrypted with these keys (SRTP), or plain RTP without them;
  // Required: plain RTP from a peer is refused.
  void SetSrtp(const TSrtpMasterKey* Send, const TSrtpMasterKey* Receive, bool Required) {  // frozen
    if (FActive) return;
    FSrtp.Configure(Send, Receive, Required);
    // A fresh context starts at packet index 0: under a new SSRC, so that it
    // never repeats an index that an earlier context protected under this key.
    FCodec.ResetSendIdentity();
  }
  // A record of every finished call in the log and calls.jsonl.
  void SetCallRecords(bool Value) { FCallRecords = Value; }
  // RTCP: off, on the RTP port or on the next; its interval and CNAME.
  void SetRtcp(const TRtcpSettings& Value) {  // frozen
    if (!FActive) FRtcpSettings = Value;
  }
  // The adaptive receive buffer instead of the fixed one, with its delay bounds.
  void SetAdaptiveReceive(bool On, const TAdaptiveSettings& Settings) {  // frozen
    if (FActive) return;
    FAdaptiveConfigured = On;
    FAdaptiveSettings = Settings;
  }

  // Starts (true) or stops (false) every processor; setting the value it already
  // has only resumes or suspends the thread.
  void SetActive(bool Value);
  bool Active() const { return FActive; }

  // Host operations, every 300 ms and at the start.
  void CheckInactivePeers();
  void CheckDevices();  // the device watchdog
  void SendHello();
  // The start datagram again, once a second, while the session has no peer.
  void RepeatHello();

  // What the recorder and the player read from the session.
  const Platform::TWaveFormat& AudioFormat() const override { return FAudioFormat; }
  int32_t SendPayloadBytes() const override { return FSendPayloadBytes; }
  int32_t ReceivePayloadBytes() const override { return FReceivePayloadBytes; }
  int32_t ReceiveBufCount() const override { return FReceiveBufCount; }
  const std::string& RecDeviceID() const override { return FRecDeviceID; }
  const std::string& PlayDeviceID() const override { return FPlayDeviceID; }
  uint16_t ReceivePayloadTime() const { return FReceivePayloadTime; }
  uint16_t SendPayloadTime() const { return FSendPayloadTime; }
  // The recorder's entry: a filled capture buffer into the send jitter buffer.
  void AddRecordedData(const Platform::WAVEHDR& Header) override;

  // Safe from any thread.
  TSessionMetrics Metrics();

protected:
  void Execute() override;

private:
  friend class TRtpSessionTestPeer;  // the tests' look inside, and where the raw files go

  void Start();
  void StartProcessors() REQUIRES(FProcessorLock);
  // A UDP server on LocalIP:Port whose port, when it cannot be bound, fails the start.
  std::unique_ptr<TTPKTServer> NewUdpServer(int32_t Port);
  void StartTransport() REQUIRES(FProcessorLock);
  void StartRtcpTransport() REQUIRES(FProcessorLock);
  void StartPaths();
  void Stop();
  void StopProcessors() REQUIRES(FProcessorLock);
  // The transport for the host thread's own use: only the host thread replaces
  // it, so on that thread the pointer stays valid once the lock is released.
  TTPKTServer* HostTransport() const EXCLUDES(FProcessorLock);
  TTPKTServer* HostRtcpTransport() const EXCLUDES(FProcessorLock);
  void ComputeReceiveSizes();
  void ComputeSendSizes();

  // One pass of the loop: what is due of both directions.
  void Pass(bool Woken, TMesureStreams* Measure) EXCLUDES(FProcessorLock);
  uint32_t WaitMs() EXCLUDES(FProcessorLock);
  void SendRecorded(TMesureStreams* Measure) REQUIRES(FProcessorLock);
  // One RTCP report to every peer (with BYE at the stop). The one place a
  // compound packet leaves.
  void SendRtcp(bool Bye) REQUIRES(FProcessorLock);

  // Transport handlers.
  void OnNewClientConnected(TTPKTServer* Sender, int32_t ClientId, const std::string& Address, int32_t Port);
  void OnClientDisconnected(TTPKTServer* Sender, int32_t ClientId, const std::string& Address, int32_t Port);
  void OnReceiveData(TTPKTServer* Sender, int32_t ClientId, const void* Data, uint32_t Size);
  void OnTransportError(TTPKTServer* Sender, uint8_t Operation, const std::string& Msg, int32_t& ErrorCode);
  // The RTCP port's server (port mode).
  void OnRtcpSourceConnected(TTPKTServer* Sender, int32_t SourceId, const std::string& Address, int32_t Port);
  void OnRtcpData(TTPKTServer* Sender, int32_t SourceId, const void* Data, uint32_t Size);
  // A peer's RTCP datagram, by either port: decrypted (with [Srtp]), then read.
  // The one place a compound packet is read.
  void ReadRtcp(int32_t PeerId, const uint8_t* Data, uint32_t Size);

  // Processors: created by Start, released by Stop, replaced by the watchdog.
  // Keeps the host thread from replacing or freeing a processor while the
  // session thread or a metrics reader uses it.
  mutable Platform::TMutex FProcessorLock;
  std::unique_ptr<TTPKTServer> FTransport GUARDED_BY(FProcessorLock);  // its handlers run on the network thread
  std::unique_ptr<TTPKTServer> FRtcpTransport GUARDED_BY(FProcessorLock);  // port mode only; the same
  std::unique_ptr<TTCPAudioMixer> FMixer GUARDED_BY(FProcessorLock);
  TSessionDevices FDevices GUARDED_BY(FProcessorLock){*this, *this};

  // Configuration: written on the host thread while stopped, read afterwards.
  int32_t FReceiveBufCount = 2;
  uint16_t FReceivePayloadTime = 20;
  int32_t FReceivePayloadBytes = 0;
  int32_t FSendBufCount = 10;
  uint16_t FSendPayloadTime = 20;
  int32_t FSendPayloadBytes = 0;
  std::atomic<bool> FActive{false};        // written by the host thread, read anywhere
  std::atomic<bool> FPlayEnabled{false};   // read on the network thread
  bool FRecordEnabled = false;
  std::atomic<bool> FSaveWavData{false};   // read on the network thread
  Platform::TWaveFormat FAudioFormat;
  std::string FRemoteIP;
  std::string FLocalIP;
  uint16_t FLocalPort = 30000;
  uint16_t FRemotePort = 30000;
  std::string FTCPServerListenIP = "0.0.0.0";
  uint16_t FTCPServerListenPort = 25003;
  uint16_t FRtpBufSizeMultiple = 1;
  uint32_t FDisconnectTimeOut = 0;
  bool FNeedMeasure = false;
  std::string FRecDeviceID, FPlayDeviceID;
  bool FAdaptiveConfigured = false;
  TAdaptiveSettings FAdaptiveSettings;
  TRtcpSettings FRtcpSettings;
  std::atomic<bool> FCallRecords{false};  // read on the network thread
  std::string FRawFileDir;  // empty: the executable's folder (the tests choose another)

  // Counters for the metrics; each is atomic on its own.
  std::atomic<uint64_t> FDatagrams{0}, FDeviceReopens{0};
  std::atomic<uint64_t> FVerdicts[RtpVerdictCount]{};
  std::atomic<uint32_t> FStartTick{0};
  TDeviceActivity FActivity;  // atomic

  // The start datagram: host thread.
  uint32_t FLastHelloTick = 0;
  bool FHelloSent = false;

  TRtpCodec FCodec;  // locks itself
  TSessionPeers FPeers;  // locks itself
  TCallQuality FCalls;   // locks itself
  TSessionRtcp FRtcp;    // locks itself
  // The receive paths; the start points FReceive at the one configured, before
  // any datagram can arrive.
  TFixedReceivePath FFixed{FCalls};
  TAdaptiveReceivePath FAdaptive{FCalls};
  std::atomic<TReceivePath*> FReceive{&FFixed};
  TJitterBuffer FSendBuffer;  // locks itself
  TSessionSrtp FSrtp;         // configured while stopped; see its threads
  TSendPath FSend{FCodec, FSrtp};  // session thread (Reset by the start)
  TRawFiles FRaw;             // locks itself
};
