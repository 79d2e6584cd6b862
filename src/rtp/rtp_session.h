#pragma once
// TRtpSession: the running call bridge. One object owns every processor (the
// TCP audio mixer, the UDP transport, the raw stream files, the sound recorder
// and player) and is itself the worker thread that moves audio between them:
// captured blocks become RTP packets sent to every peer, accepted packets from
// the peers are played, and both directions feed the mixer and the raw files.
//
// Threads and what they touch:
// - host thread: construction, configuration, Active, the device watchdog, the
//   inactivity check, the start datagram, destruction;
// - session thread (Execute): the two jitter buffers' reading side, the player's
//   IsReady and Play, packet building and sending, the mixer, the raw files;
// - transport threads: peer connect/disconnect and the receive path;
// - wave-in callback thread: AddRecordedData into the send jitter buffer.
// In adaptive receive mode the received audio goes to the adaptive buffer
// instead of the receive jitter buffer, and the session thread also wakes
// every few milliseconds to keep the player fed from it.
// FProcessorLock keeps the host thread from replacing or freeing a processor
// while the session thread uses it; FRawLock serialises the raw file appends.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio/adaptive_buffer.h"
#include "access/peer_gate.h"
#include "audio/jitter_buffer.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "mixer/tcp_audio_mixer.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/wave_format.h"
#include "rtp/long_packet_note.h"
#include "rtp/rtp_codec.h"
#include "rtp/send_pacer.h"
#include "rtp/rtp_payload_filter.h"

class TTPKTServer;
class TMesureStreams;

// A device as the health of the bridge sees it: open and moving audio, not
// there (or not opened), or open but silent for a second while it should not be.
enum class TDeviceState : uint8_t { Open, Missing, Stalled };

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
  void SetRTPVersion(uint8_t Value);
  void SetRtpBufSizeMultiple(uint16_t Value);                // frozen
  void SetReceivePayloadTime(uint16_t Value);                // frozen
  void SetReceiveBufCount(int32_t Value);                    // frozen
  void SetSendPayloadTime(uint16_t Value);                   // frozen
  void SetSendBufCount(int32_t Value);                       // frozen
  void SetRecordEnabled(bool Value);                         // frozen
  void SetPlayEnabled(bool Value);                           // frozen
  void SetMaxRecvSequenceNumberInterval(uint16_t Value);     // frozen
  void SetSaveWavData(bool Value);                           // frozen
  void SetNeedMeasure(bool Value) { FNeedMeasure = Value; }  // read when the thread starts
  // The adaptive receive buffer instead of the fixed one, with its delay bounds.
  void SetAdaptiveReceive(bool On, const TAdaptiveSettings& Settings);  // frozen

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
  // Start's work on the processors.
  void StartProcessors() REQUIRES(FProcessorLock);
  void Stop();
  // The transport for the host thread's own use: only the host thread replaces
  // it, so on that thread the pointer stays valid once the lock is released.
  TTPKTServer* HostTransport() const EXCLUDES(FProcessorLock);
  void ValidateLimits() const;
  void ComputeReceiveSizes();
  void ComputeSendSizes();
  void OpenRawFiles();
  // Appends to the sent (Sent) or the received raw file, if open.
  void AppendRaw(bool Sent, const void* Data, size_t Size) EXCLUDES(FRawLock);
  void CreateRecorder() REQUIRES(FProcessorLock);
  void CreatePlayer() REQUIRES(FProcessorLock);

  // One pass of the loop's receive and send sides.
  void PlayReceived(TMesureStreams* Measure) REQUIRES(FProcessorLock);
  void PlayAdaptive(TMesureStreams* Measure) REQUIRES(FProcessorLock);
  // Plays on the device, counting only what reached it.
  void PlayOnDevice(const uint8_t* Data, uint32_t Size) REQUIRES(FProcessorLock);
  // Adaptive mode: frames handed over and not yet played, by the device or,
  // without one, by the session's own clock.
  int32_t AdaptiveQueued(uint32_t Now) const REQUIRES(FProcessorLock);
  // How long the session thread may wait in adaptive mode: until a frame is due.
  uint32_t AdaptiveWait();
  void SendRecorded(TRtpPacketBuffer& Packet, TMesureStreams* Measure) REQUIRES(FProcessorLock);
  void OnRecordWaveBuffer(const uint8_t* Data, uint32_t Size, TRtpPacketBuffer& Packet) REQUIRES(FProcessorLock);

  // Transport handlers.
  void OnNewClientConnected(TTPKTServer* Sender, int32_t ClientId, const std::string& Address, int32_t Port);
  void OnClientDisconnected(TTPKTServer* Sender, int32_t ClientId, const std::string& Address, int32_t Port);
  void OnReceiveData(TTPKTServer* Sender, int32_t ClientId, const void* Data, uint32_t Size);
  void OnTransportError(TTPKTServer* Sender, uint8_t Operation, const std::string& Msg, int32_t& ErrorCode);

  static constexpr uint32_t FMinDatagramLength = RtpMinDatagramLength;

  // Processors: created by Start, released by Stop, replaced by the watchdog.
  // Keeps the host thread from replacing or freeing a processor while the
  // session thread or a metrics reader uses it.
  mutable Platform::TMutex FProcessorLock;
  std::unique_ptr<TTPKTServer> FTransport GUARDED_BY(FProcessorLock);  // its handlers run on transport threads
  std::unique_ptr<TTCPAudioMixer> FMixer GUARDED_BY(FProcessorLock);
  std::unique_ptr<TPlayer> FPlayer GUARDED_BY(FProcessorLock);
  std::unique_ptr<TRecorder> FRecorder GUARDED_BY(FProcessorLock);

  // Configuration: written on the host thread while stopped, read afterwards.
  int32_t FReceiveBufCount = 2;
  uint16_t FReceivePayloadTime = 20;
  int32_t FReceivePayloadBytes = 0;
  int32_t FSendBufCount = 10;
  uint16_t FSendPayloadTime = 20;
  int32_t FSendPayloadBytes = 0;
  std::atomic<bool> FActive{false};        // written by the host thread, read anywhere
  std::atomic<bool> FPlayEnabled{false};   // read on transport threads
  bool FRecordEnabled = false;
  std::atomic<bool> FSaveWavData{false};   // read on transport threads
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
  bool FAdaptiveConfigured = false;
  TAdaptiveSettings FAdaptiveSettings;
  std::atomic<bool> FAdaptiveMode{false};  // set by the start, read by the session and transport threads
  std::optional<Platform::TFineTimers> FFineTimers;  // owner's thread: held from an adaptive start to the stop
  uint32_t FAdaptivePlayedUntil = 0;       // session thread: when the audio handed to the player runs out (tick)
  std::atomic<bool> FAdaptiveIdle{true};   // the player has nothing queued; set by the session thread

  // The raw stream files, open while active with SaveWavData on.
  Platform::TMutex FRawLock;  // the received file is appended to from two threads
  std::unique_ptr<Platform::TWriteStream> FRawRecv GUARDED_BY(FRawLock);
  std::unique_ptr<Platform::TWriteStream> FRawSent GUARDED_BY(FRawLock);
  std::string FRawFileDir;  // empty: the executable's folder (the tests choose another)

  // Counters and times for the metrics; each is atomic on its own.
  std::atomic<uint64_t> FDatagrams{0}, FPeerConnections{0}, FPacketsSent{0}, FBytesSent{0}, FDeviceReopens{0},
      FPlayedBytes{0};
  std::atomic<uint64_t> FVerdicts[RtpVerdictCount]{};
  std::atomic<uint64_t> FFiltered[3]{};  // a refused sender's, RTCP, another payload type
  std::atomic<uint32_t> FStartTick{0}, FLastCaptureTick{0}, FLastReceiveTick{0}, FLastPlayTick{0};

  // The start datagram: host thread.
  uint32_t FLastHelloTick = 0;
  bool FHelloSent = false;

  // The send side's pace: session thread (set by Start before the thread goes on).
  TSendPacer FSendPacer;
  int32_t FSendDropped = 0;  // session thread: packets dropped by the pacer since the last sent

  TRtpCodec FCodec;  // locks itself
  // Who becomes a peer (the process's access policy at each new sender), and
  // which received datagrams are audio at all.
  TPeerGate FPeerGate;                // locks itself
  TRtpPayloadFilter FPayloadFilter;   // locks itself
  TLongPacketNote FLongPackets;       // locks itself
  TJitterBuffer FReceiveBuffer;  // locks itself
  TAdaptiveReceiver FAdaptiveBuffer;  // locks itself; used instead of FReceiveBuffer in adaptive mode
  TJitterBuffer FSendBuffer;     // locks itself
};
