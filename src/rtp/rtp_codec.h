#pragma once
// The RTP packet codec of the session: sizing packets from their duration,
// building the packets the session sends (fixed RFC 3550 header, no CSRC list,
// no extension), taking received datagrams apart and deciding which of them to
// accept. RTCP is not used.
//
// TRtpCodec holds the send identity (sequence, timestamp, own SSRC, marker) and
// the receive tracking (remote SSRC, last sequence and timestamp). Several
// threads use it at once: the session thread builds packets, the network thread
// accepts datagrams (and may reset the send identity on a new remote SSRC), the
// host thread resets the identity after an inactive peer is dropped. One lock
// makes each of these steps atomic with respect to the others.

#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <string_view>

#include "platform/mutex.h"
#include "platform/wave_format.h"

// Wire and buffer sizes.
inline constexpr uint32_t RtpHeaderBytes = 12;
inline constexpr uint32_t RtpPacketBufferBytes = 4096;  // the session's one packet buffer
inline constexpr uint32_t RtpMinDatagramLength = 72;    // shorter datagrams are never accepted

using TRtpPacketBuffer = std::array<uint8_t, RtpPacketBufferBytes>;

// A supported payload type and its audio format.
struct TAudioFormatInfo {
  uint8_t PayloadType;
  std::string_view FormatTagName;      // at most 128 characters
  std::string_view FormatDescription;  // at most 128 characters
  Platform::TWaveFormat Format;
};

// Payload type 8: G.711 A-law, 8000 samples/s, 8 bits, mono. The only one.
extern const TAudioFormatInfo ALawFormatInfo;

// The record for a payload type, or nullptr when it is not supported.
const TAudioFormatInfo* FindAudioFormatInfo(uint8_t PayloadType);

// Bytes of audio in one packet of DurationMs in Format, rounded up to whole
// blocks; DurationMs becomes the effective duration those bytes hold. A format
// with no byte rate gives 0 bytes and leaves the duration.
int32_t RtpPayloadBytes(uint16_t& DurationMs, const Platform::TWaveFormat& Format);

// Size of a packet around PayloadBytes: the header, the payload and the padding
// up to a multiple of BufSizeMultiple (0 counts as 1).
// Inline: the send path sizes every packet with it.
inline uint32_t RtpPacketBytes(uint32_t PayloadBytes, uint16_t BufSizeMultiple) {
  const uint32_t Multiple = BufSizeMultiple == 0 ? 1 : BufSizeMultiple;
  const uint32_t Unpadded = RtpHeaderBytes + PayloadBytes;
  const uint32_t Remainder = Unpadded % Multiple;
  return Remainder == 0 ? Unpadded : Unpadded + (Multiple - Remainder);
}

// Timestamp advance per packet of (effective) DurationMs.
uint32_t RtpTimestampStep(uint16_t DurationMs, const Platform::TWaveFormat& Format);

// What a received datagram holds.
struct TRtpDatagramInfo {
  // False when the datagram ends before its fixed header, CSRC list or
  // extension header does; then only the fields read so far are set and the
  // payload fields are 0.
  bool HeaderInside = false;
  uint8_t Version = 0;
  bool Padding = false;
  bool Extension = false;
  uint8_t CsrcCount = 0;
  bool Marker = false;
  uint8_t PayloadType = 0;
  uint16_t SequenceNumber = 0;
  uint32_t Timestamp = 0;
  uint32_t Ssrc = 0;
  uint16_t ExtensionWords = 0;  // n: the extension holds 4 + 4 n bytes
  uint8_t PaddingCount = 0;
  uint32_t PayloadOffset = 0;
  int32_t PayloadLength = 0;  // negative when padding claims more than is left
};

// Takes a datagram apart without reading outside Data[0, Length).
TRtpDatagramInfo ParseRtpDatagram(const uint8_t* Data, uint16_t Length);

// Why a received datagram was refused (or that it was not). Late: behind the
// played stream's last packet. OtherSource: not of the stream being played.
enum class TRtpVerdict : uint8_t { Accepted, TooShort, Version, NoPayload, Repeat, SequenceJump, Late, OtherSource };
inline constexpr size_t RtpVerdictCount = 8;

// Where and when a datagram came: what the choice of the one stream that is
// played goes by. A source is a sender (the transport's client id, that is one
// address and port) with one SSRC; the stream played holds while it has been
// silent for less than HoldMs. The defaults hold nothing: every datagram is as
// welcome as any other.
struct TRtpArrival {
  int32_t Sender = 0;
  uint32_t Tick = 0;  // Platform::TickCount() at its arrival
  uint32_t HoldMs = 0;
};

// The send identity as it is now.
struct TRtpSendIdentity {
  uint16_t SequenceNumber;
  uint32_t Timestamp;
  uint32_t Ssrc;
  bool MarkerPending;
};

// The receive tracking as it is now.
struct TRtpReceiveTracking {
  bool AwaitingFirstStream;
  uint32_t RemoteSsrc;
  uint16_t LastSequenceNumber;
  uint32_t LastTimestamp;
};

class TRtpCodec {
public:
  // Seeds the generator from the clock and resets the send identity.
  TRtpCodec();
  // The same with a given seed (tests).
  explicit TRtpCodec(uint32_t Seed);
  TRtpCodec(const TRtpCodec&) = delete;
  TRtpCodec& operator=(const TRtpCodec&) = delete;

  // Settings, as the session holds them.
  void SetVersion(uint8_t Version);  // its low two bits are sent
  // Values of 128 and above are ignored: the previous one stays.
  void SetPayloadType(uint8_t PayloadType);
  // Packets are padded to a multiple of this; 0 counts as 1.
  void SetBufSizeMultiple(uint16_t Multiple);
  void SetMaxRecvSequenceNumberInterval(uint16_t Interval);
  void SetTimestampStep(uint32_t Step);
  uint8_t Version();
  uint8_t PayloadType();

  // Send side.
  // New random sequence number, timestamp 0, new random own SSRC. The marker
  // stays as it is.
  void ResetSendIdentity();
  // The next packet built carries the marker (each start of the session).
  void SetMarkerPending();
  // Builds the packet around Payload (PayloadBytes bytes) at the start of Packet
  // and advances the send identity. Returns the packet's size, or 0 when it would
  // not fit into the buffer (nothing is built then and the identity stays).
  uint32_t BuildPacket(const uint8_t* Payload, uint32_t PayloadBytes, TRtpPacketBuffer& Packet);
  TRtpSendIdentity SendIdentity();

  // Receive side.
  // Applies the acceptance rules to a received datagram of Size bytes; may
  // record the remote stream and reset the send identity. Info, when given,
  // receives the datagram's parts (its payload is what an accepted datagram
  // hands on). Logs "RTP SSRC CHANGED!" when DoLog is on. An exact repeat (the
  // stream and sequence number of one of the last few accepted datagrams) is
  // refused and changes nothing.
  // With stream tracking on, one stream is played at a time: a datagram of
  // another source than the played one is refused (OtherSource) until the
  // played stream has been silent for From.HoldMs, and one whose sequence
  // number is not after the played stream's last (modulo 65536) is refused as
  // Late while that stream goes on. Neither changes anything; only the
  // played stream moves the tracking and renews the send identity.
  bool Accept(const uint8_t* Data, uint32_t Size, TRtpDatagramInfo* Info = nullptr, const TRtpArrival& From = {});
  // The same, telling which rule decided.
  TRtpVerdict Check(const uint8_t* Data, uint32_t Size, TRtpDatagramInfo* Info = nullptr, const TRtpArrival& From = {});
  void SetAwaitingFirstStream(bool Awaiting) { FAwaitingFirstStream.store(Awaiting); }
  // Off: every well-formed datagram of the right version is accepted, repeats
  // and changes of stream included, and the send identity is never renewed by
  // them; the adaptive receive buffer sorts the streams out itself. On by
  // default.
  void SetStreamTracking(bool On) { FStreamTracking.store(On); }
  bool AwaitingFirstStream() const { return FAwaitingFirstStream.load(); }
  TRtpReceiveTracking ReceiveTracking();

private:
  void ResetSendIdentityLocked() REQUIRES(FLock);

  Platform::TMutex FLock;
  std::mt19937 FRandom GUARDED_BY(FLock);
  // Settings.
  uint8_t FVersion GUARDED_BY(FLock) = 2;
  uint8_t FPayloadType GUARDED_BY(FLock) = 8;
  uint16_t FBufSizeMultiple GUARDED_BY(FLock) = 1;
  uint16_t FMaxRecvSequenceNumberInterval GUARDED_BY(FLock) = 1000;
  uint32_t FTimestampStep GUARDED_BY(FLock) = 160;
  // Send identity.
  uint16_t FSequenceNumber GUARDED_BY(FLock) = 0;
  uint32_t FTimestamp GUARDED_BY(FLock) = 0;
  uint32_t FSsrc GUARDED_BY(FLock) = 0;
  bool FMarkerPending GUARDED_BY(FLock) = false;
  // Receive tracking.
  std::atomic<bool> FAwaitingFirstStream{false};  // set by start and peer disconnects, read per datagram
  std::atomic<bool> FStreamTracking{true};        // set by the session's start, read per datagram
  uint32_t FRemoteSsrc GUARDED_BY(FLock) = 0;
  uint16_t FLastSequenceNumber GUARDED_BY(FLock) = 0;
  uint32_t FLastTimestamp GUARDED_BY(FLock) = 0;
  // The stream played: its source, its last packet accepted, and when.
  struct TPlayed {
    bool Known = false;
    int32_t Sender = 0;
    uint32_t Ssrc = 0;
    uint32_t Tick = 0;
    uint16_t SequenceNumber = 0;
  };
  TPlayed FPlayed GUARDED_BY(FLock);
  // The streams and sequence numbers of the last packets accepted: a datagram
  // the network repeated is not played twice.
  // Each is one key, so that the look through them all is a few compares on
  // the path of every packet; 0 is a free place.
  static constexpr size_t RecentCount = 8;
  static uint64_t RecentKey(uint32_t Ssrc, uint16_t SequenceNumber) {
    return uint64_t{1} << 48 | uint64_t{Ssrc} << 16 | SequenceNumber;
  }
  std::array<uint64_t, RecentCount> FRecent GUARDED_BY(FLock){};
  size_t FRecentNext GUARDED_BY(FLock) = 0;
};
