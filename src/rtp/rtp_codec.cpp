#include "rtp/rtp_codec.h"

#include <chrono>
#include <cstring>

#include "config/start_values.h"
#include "log/log.h"
#include "platform/mutex.h"

const TAudioFormatInfo ALawFormatInfo = {
    8,
    "CCITT A-Law",
    "8,000 kHz; 8 Bit; Mono",
    {Platform::WaveFormatALaw, 1, 8000, 8000, 1, 8, 0},
};

const TAudioFormatInfo* FindAudioFormatInfo(uint8_t PayloadType) {
  return PayloadType == ALawFormatInfo.PayloadType ? &ALawFormatInfo : nullptr;
}

// Both sizes are whole numbers far below 2^53; multiplying before dividing
// keeps the floating-point quotient exact wherever the true one is whole, so
// truncation never lands one below (20 ms stays 160 bytes and 20 ms).
int32_t RtpPayloadBytes(uint16_t& DurationMs, const Platform::TWaveFormat& Format) {
  if (Format.nAvgBytesPerSec == 0) return 0;
  int64_t Bytes = static_cast<int64_t>(static_cast<double>(DurationMs) * Format.nAvgBytesPerSec / 1000.0);
  const int64_t Align = Format.nBlockAlign == 0 ? 1 : Format.nBlockAlign;
  if (Bytes % Align != 0) Bytes += Align - Bytes % Align;
  DurationMs = static_cast<uint16_t>(
      static_cast<int64_t>(static_cast<double>(Bytes) * 1000.0 / Format.nAvgBytesPerSec));
  return static_cast<int32_t>(Bytes);
}

uint32_t RtpTimestampStep(uint16_t DurationMs, const Platform::TWaveFormat& Format) {
  return static_cast<uint32_t>(static_cast<double>(DurationMs) * Format.nSamplesPerSec / 1000.0);
}

namespace {

uint16_t GetBE16(const uint8_t* P) { return static_cast<uint16_t>(P[0] << 8 | P[1]); }

uint32_t GetBE32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) << 24 | static_cast<uint32_t>(P[1]) << 16 |
         static_cast<uint32_t>(P[2]) << 8 | P[3];
}

void PutBE16(uint8_t* P, uint16_t V) {
  P[0] = static_cast<uint8_t>(V >> 8);
  P[1] = static_cast<uint8_t>(V);
}

void PutBE32(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V >> 24);
  P[1] = static_cast<uint8_t>(V >> 16);
  P[2] = static_cast<uint8_t>(V >> 8);
  P[3] = static_cast<uint8_t>(V);
}

uint32_t ClockSeed() {
  const auto Now = std::chrono::system_clock::now().time_since_epoch().count();
  return static_cast<uint32_t>(Now ^ (Now >> 32));
}

}  // namespace

TRtpDatagramInfo ParseRtpDatagram(const uint8_t* Data, uint16_t Length) {
  TRtpDatagramInfo I;
  if (Length < RtpHeaderBytes) return I;
  I.Version = Data[0] >> 6;
  I.Padding = (Data[0] & 0x20) != 0;
  I.Extension = (Data[0] & 0x10) != 0;
  I.CsrcCount = Data[0] & 0x0F;
  I.Marker = (Data[1] & 0x80) != 0;
  I.PayloadType = Data[1] & 0x7F;
  I.SequenceNumber = GetBE16(Data + 2);
  I.Timestamp = GetBE32(Data + 4);
  I.Ssrc = GetBE32(Data + 8);
  uint32_t Offset = RtpHeaderBytes + 4u * I.CsrcCount;
  // The CSRC list and the extension's own header must lie inside the datagram
  // before their lengths mean anything.
  if (Offset > Length) return I;
  if (I.Extension) {
    if (Offset + 4 > Length) return I;
    I.ExtensionWords = GetBE16(Data + Offset + 2);
    Offset += 4 + 4u * I.ExtensionWords;
  }
  I.HeaderInside = true;
  I.PaddingCount = I.Padding ? Data[Length - 1] : 0;
  I.PayloadOffset = Offset;
  I.PayloadLength = static_cast<int32_t>(Length) - static_cast<int32_t>(Offset) - I.PaddingCount;
  return I;
}

TRtpCodec::TRtpCodec() : TRtpCodec(ClockSeed()) {}

TRtpCodec::TRtpCodec(uint32_t Seed) : FRandom(Seed) {
  Platform::TLockGuard G(FLock);
  ResetSendIdentityLocked();
}

void TRtpCodec::SetVersion(uint8_t Version) {
  Platform::TLockGuard G(FLock);
  FVersion = Version;
}

void TRtpCodec::SetPayloadType(uint8_t PayloadType) {
  if (PayloadType >= 128) return;
  Platform::TLockGuard G(FLock);
  FPayloadType = PayloadType;
}

void TRtpCodec::SetBufSizeMultiple(uint16_t Multiple) {
  Platform::TLockGuard G(FLock);
  FBufSizeMultiple = Multiple;
}

void TRtpCodec::SetMaxRecvSequenceNumberInterval(uint16_t Interval) {
  Platform::TLockGuard G(FLock);
  FMaxRecvSequenceNumberInterval = Interval;
}

void TRtpCodec::SetTimestampStep(uint32_t Step) {
  Platform::TLockGuard G(FLock);
  FTimestampStep = Step;
}

uint8_t TRtpCodec::Version() {
  Platform::TLockGuard G(FLock);
  return FVersion;
}

uint8_t TRtpCodec::PayloadType() {
  Platform::TLockGuard G(FLock);
  return FPayloadType;
}

void TRtpCodec::ResetSendIdentity() {
  Platform::TLockGuard G(FLock);
  ResetSendIdentityLocked();
}

void TRtpCodec::ResetSendIdentityLocked() {
  FSequenceNumber = static_cast<uint16_t>(std::uniform_int_distribution<uint32_t>(0, 65535)(FRandom));
  FTimestamp = 0;
  const double R = std::uniform_real_distribution<double>(0.0, 1.0)(FRandom);
  FSsrc = static_cast<uint32_t>(R * 4294967295.0);
}

void TRtpCodec::SetMarkerPending() {
  Platform::TLockGuard G(FLock);
  FMarkerPending = true;
}

uint32_t TRtpCodec::BuildPacket(const uint8_t* Payload, uint32_t PayloadBytes, TRtpPacketBuffer& Packet) {
  Platform::TLockGuard G(FLock);
  if (PayloadBytes > RtpPacketBufferBytes) return 0;
  const uint32_t Multiple = FBufSizeMultiple == 0 ? 1 : FBufSizeMultiple;
  const uint32_t Unpadded = RtpHeaderBytes + PayloadBytes;
  const uint32_t Remainder = Unpadded % Multiple;
  const uint32_t Size = Remainder == 0 ? Unpadded : Unpadded + (Multiple - Remainder);
  if (Size > RtpPacketBufferBytes) return 0;

  uint8_t* P = Packet.data();
  std::memset(P, 0, Size);
  const uint8_t Padding = static_cast<uint8_t>(Remainder == 0 ? 0 : Multiple - Remainder);
  P[0] = static_cast<uint8_t>((FVersion & 0x03) << 6);
  if (Padding > 0) {
    P[0] |= 0x20;
    P[Size - 1] = Padding;
  }
  P[1] = static_cast<uint8_t>((FMarkerPending ? 0x80 : 0) | (FPayloadType & 0x7F));
  FMarkerPending = false;
  ++FSequenceNumber;
  PutBE16(P + 2, FSequenceNumber);
  FTimestamp += FTimestampStep;
  PutBE32(P + 4, FTimestamp);
  PutBE32(P + 8, FSsrc);
  if (PayloadBytes > 0) std::memcpy(P + RtpHeaderBytes, Payload, PayloadBytes);
  return Size;
}

TRtpSendIdentity TRtpCodec::SendIdentity() {
  Platform::TLockGuard G(FLock);
  return {FSequenceNumber, FTimestamp, FSsrc, FMarkerPending};
}

bool TRtpCodec::Accept(const uint8_t* Data, uint32_t Size, TRtpDatagramInfo* Info, const TRtpArrival& From) {
  return Check(Data, Size, Info, From) == TRtpVerdict::Accepted;
}

TRtpVerdict TRtpCodec::Check(const uint8_t* Data, uint32_t Size, TRtpDatagramInfo* Info, const TRtpArrival& From) {
  // A length beyond 16 bits cannot come over UDP; it would wrap and misplace
  // the datagram's end.
  if (Size < RtpMinDatagramLength || Size > 0xFFFF) return TRtpVerdict::TooShort;
  const TRtpDatagramInfo D = ParseRtpDatagram(Data, static_cast<uint16_t>(Size));
  if (Info) *Info = D;
  bool SsrcChanged = false;
  {
    Platform::TLockGuard G(FLock);
    if (D.Version != FVersion) return TRtpVerdict::Version;
    if (!D.HeaderInside || D.PayloadLength <= 0) return TRtpVerdict::NoPayload;
    if (!FStreamTracking.load()) return TRtpVerdict::Accepted;
    const uint64_t Key = RecentKey(D.Ssrc, D.SequenceNumber);
    for (const uint64_t R : FRecent)
      if (R == Key) return TRtpVerdict::Repeat;
    // One stream at a time: two sources at once (a second sender, the remote
    // side moving to a new port) would be played interleaved, a packet each.
    // A stream that paused may be taken over by any, itself included (a
    // sender that started its numbers anew).
    const bool Live = FPlayed.Known && From.Tick - FPlayed.Tick < From.HoldMs;
    if (Live) {
      if (From.Sender != FPlayed.Sender || D.Ssrc != FPlayed.Ssrc) return TRtpVerdict::OtherSource;
      // Played in its place or not at all.
      if (static_cast<int16_t>(D.SequenceNumber - FPlayed.SequenceNumber) <= 0) return TRtpVerdict::Late;
    }
    if (!FAwaitingFirstStream.load()) {
      if (D.Ssrc != FRemoteSsrc) {
        FRemoteSsrc = D.Ssrc;
        FLastSequenceNumber = D.SequenceNumber;
        FLastTimestamp = D.Timestamp;
        ResetSendIdentityLocked();
        SsrcChanged = true;
      } else {
        // Modulo 65536: the wrap from 65535 to 0 is one step, and a stream
        // that starts anew behind its old numbers is no jump.
        const int32_t Delta = static_cast<int16_t>(D.SequenceNumber - FLastSequenceNumber);
        FLastSequenceNumber = D.SequenceNumber;
        FLastTimestamp = D.Timestamp;
        if (Delta > static_cast<int32_t>(FMaxRecvSequenceNumberInterval)) return TRtpVerdict::SequenceJump;
      }
    }
    if (!Live) FPlayed = {true, From.Sender, D.Ssrc, 0, 0};  // a stream starts, or starts again
    FPlayed.SequenceNumber = D.SequenceNumber;
    FPlayed.Tick = From.Tick;
    FRecent[FRecentNext] = Key;
    FRecentNext = (FRecentNext + 1) % RecentCount;
  }
  if (SsrcChanged && DoLog) WriteLog("RTP SSRC CHANGED!");
  return TRtpVerdict::Accepted;
}

TRtpReceiveTracking TRtpCodec::ReceiveTracking() {
  Platform::TLockGuard G(FLock);
  return {FAwaitingFirstStream.load(), FRemoteSsrc, FLastSequenceNumber, FLastTimestamp};
}
