#pragma once
// Inside the SRTP unit: the session keys (RFC 3711 4.3) and the keyed
// transform of one kind of stream, SRTP or SRTCP, under one master key. The
// transform knows nothing of contexts: the caller gives the rollover counter
// or the SRTCP index, and keeps the replay lists.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/crypto.h"
#include "srtp/srtp.h"

enum class TSrtpStreamKind : uint8_t { Rtp, Rtcp };

inline constexpr size_t RtpFixedHeaderBytes = 12;
inline constexpr size_t RtcpClearBytes = 8;  // the first header word and the sender's SSRC stay clear
inline constexpr size_t SrtcpIndexBytes = 4;
inline constexpr uint32_t SrtcpEncryptedFlag = 0x80000000u;
inline constexpr uint32_t SrtcpMaxIndex = 0x7FFFFFFFu;

// The session keys of one kind of stream; wiped when destroyed. GCM uses the
// first 12 bytes of the salt and no authentication key.
struct TSrtpSessionKeys {
  std::array<uint8_t, 16> Cipher{};
  std::array<uint8_t, 14> Salt{};
  std::array<uint8_t, 20> Auth{};
  TSrtpSessionKeys() = default;
  TSrtpSessionKeys(const TSrtpSessionKeys&) = delete;
  TSrtpSessionKeys& operator=(const TSrtpSessionKeys&) = delete;
  ~TSrtpSessionKeys();
};

// RFC 3711 4.3.1/4.3.3 with key derivation rate 0: Out.size() bytes of the
// AES-CM PRF for Label under the master key (MasterCipher keyed with it). A
// GCM master salt of 12 bytes counts as 14 with two zero bytes after it.
bool SrtpDeriveKey(Platform::TAes128& MasterCipher, std::span<const uint8_t> MasterSalt, uint8_t Label,
                   std::span<uint8_t> Out);
// Fills Keys with the session keys of Kind (labels 0 to 2 for SRTP, 3 to 5 for SRTCP).
void SrtpDeriveSessionKeys(const TSrtpMasterKey& Key, TSrtpStreamKind Kind, TSrtpSessionKeys& Keys);

// The length of the RTP header at P (fixed part, CSRCs, extension), or 0 when
// it is not a version 2 header or does not fit in Length bytes.
size_t SrtpRtpHeaderBytes(const uint8_t* P, size_t Length);

class TSrtpStreamKeys {
public:
  // Receiving keeps a buffer for GCM's plain text until its tag has been
  // found good, so that a refused packet is left as it came.
  TSrtpStreamKeys(TSrtpSuite Suite, TSrtpStreamKind Kind, const TSrtpSessionKeys& Keys, bool Receiving);
  // The same with the keys derived from Key.
  TSrtpStreamKeys(const TSrtpMasterKey& Key, TSrtpStreamKind Kind, bool Receiving);
  ~TSrtpStreamKeys();

  TSrtpSuite Suite() const { return FSuite; }
  size_t TagBytes() const { return FTagBytes; }
  // What Protect adds to a packet: the tag, and for SRTCP the index word.
  size_t Overhead() const { return FTagBytes + (FKind == TSrtpStreamKind::Rtcp ? SrtcpIndexBytes : 0); }

  // SRTP. P[0, HeaderBytes) is the header, the payload runs to Length; the
  // buffer has room for Overhead() bytes more. Returns the new length, 0 when
  // the library failed.
  size_t ProtectRtp(uint8_t* P, size_t HeaderBytes, size_t Length, uint32_t Roc);
  // Length includes the tag (at least HeaderBytes + TagBytes()). Checks the
  // tag first and decrypts only a packet found good; false leaves P as it was.
  bool UnprotectRtp(uint8_t* P, size_t HeaderBytes, size_t& Length, uint32_t Roc);

  // SRTCP with the E flag set: P[0, Length) is the plain compound packet
  // (Length at least RtcpClearBytes) with room for Overhead() bytes more.
  size_t ProtectRtcp(uint8_t* P, size_t Length, uint32_t Index);
  // The E flag and the SRTCP index of a protected packet of Length bytes (at
  // least RtcpClearBytes + Overhead()).
  uint32_t RtcpIndexWord(const uint8_t* P, size_t Length) const;
  // As UnprotectRtp; a packet sent without the E flag is only checked.
  bool UnprotectRtcp(uint8_t* P, size_t& Length);

private:
  void Key(const TSrtpSessionKeys& Keys);
  // AES-CM (RFC 3711 4.1.1): XORs Data with the keystream of (Ssrc, Index).
  bool CounterMode(uint8_t* Data, size_t Length, uint32_t Ssrc, uint64_t Index);
  // HMAC-SHA1 of Data and, for SRTP, the ROC after it; the first TagBytes() bytes into Tag.
  bool AuthTag(const uint8_t* Data, size_t Length, const uint8_t* Roc, uint8_t* Tag);
  // RFC 7714 8.1/9.1: the 12-byte IV of a packet, Word1 the ROC or 0, Word2 the sequence number or the SRTCP index.
  std::array<uint8_t, Platform::GcmIvBytes> GcmIv(uint32_t Ssrc, uint32_t High, uint32_t Low) const;
  // GCM's check and decryption through the scratch buffer; Out receives the plain text only when the tag is good.
  bool GcmOpen(std::span<const uint8_t, Platform::GcmIvBytes> Iv, std::span<const uint8_t> Aad, const uint8_t* In,
               size_t Length, const uint8_t* Tag, uint8_t* Out);

  TSrtpSuite FSuite;
  TSrtpStreamKind FKind;
  size_t FTagBytes;
  std::array<uint8_t, 14> FSalt{};
  std::unique_ptr<Platform::TAes128> FCipher;   // AES-CM
  std::unique_ptr<Platform::THmacSha1> FAuth;   // AES-CM
  std::unique_ptr<Platform::TAes128Gcm> FGcm;   // GCM
  std::vector<uint8_t> FScratch;                // GCM, receiving
};
