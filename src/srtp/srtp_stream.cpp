// Key derivation and the packet transforms of SRTP and SRTCP: AES-CM with
// HMAC-SHA1 (RFC 3711), AES-GCM (RFC 7714).

#include "srtp/srtp_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/exception.h"

namespace {

// RFC 3711 4.3.2.
constexpr uint8_t LabelCipher = 0, LabelAuth = 1, LabelSalt = 2, LabelsPerKind = 3;
constexpr size_t AuthKeyBytes = 20;
constexpr size_t CmSaltBytes = 14, GcmSaltBytes = 12;
// The largest datagram there is: GCM's plain text waits here for its tag.
constexpr size_t ScratchBytes = 65536;

bool IsGcm(TSrtpSuite Suite) { return Suite == TSrtpSuite::AeadAes128Gcm; }

size_t TagBytesOf(TSrtpSuite Suite, TSrtpStreamKind Kind) {
  if (IsGcm(Suite)) return Platform::GcmTagBytes;
  // SRTCP always carries the 80-bit tag (RFC 3711 5.2, RFC 4568 6.2.2), the
  // _32 suite included, as libsrtp2 does for that profile.
  return Suite == TSrtpSuite::AesCm128HmacSha1_32 && Kind == TSrtpStreamKind::Rtp ? 4 : 10;
}

void PutBE48(uint8_t* P, uint64_t V) {
  Platform::PutBE16(P, static_cast<uint16_t>(V >> 32));
  Platform::PutBE32(P + 2, static_cast<uint32_t>(V));
}

}  // namespace

TSrtpSessionKeys::~TSrtpSessionKeys() {
  Platform::WipeSecret(Cipher.data(), Cipher.size());
  Platform::WipeSecret(Salt.data(), Salt.size());
  Platform::WipeSecret(Auth.data(), Auth.size());
}

bool SrtpDeriveKey(Platform::TAes128& MasterCipher, std::span<const uint8_t> MasterSalt, uint8_t Label,
                   std::span<uint8_t> Out) {
  // x = (key_id XOR master_salt) * 2^16, the label in key_id's first byte;
  // the PRF's blocks count up in the last two bytes.
  std::array<uint8_t, Platform::AesBlockBytes> X{};
  std::copy_n(MasterSalt.begin(), std::min(MasterSalt.size(), CmSaltBytes), X.begin());
  X[7] ^= Label;
  std::array<uint8_t, Platform::AesBlockBytes> Block{};
  bool Ok = true;
  for (size_t Done = 0, Counter = 0; Ok && Done < Out.size(); ++Counter) {
    Platform::PutBE16(X.data() + 14, static_cast<uint16_t>(Counter));
    Ok = MasterCipher.EncryptBlocks(X.data(), Block.data(), 1);
    const size_t Take = std::min(Block.size(), Out.size() - Done);
    std::copy_n(Block.begin(), Take, Out.begin() + static_cast<ptrdiff_t>(Done));
    Done += Take;
  }
  Platform::WipeSecret(Block.data(), Block.size());
  return Ok;
}

void SrtpDeriveSessionKeys(const TSrtpMasterKey& Key, TSrtpStreamKind Kind, TSrtpSessionKeys& Keys) {
  Platform::TAes128 Master(Key.Key().first<Platform::Aes128KeyBytes>());
  const uint8_t Base = Kind == TSrtpStreamKind::Rtp ? 0 : LabelsPerKind;
  const bool Gcm = IsGcm(Key.Suite());
  const bool Ok = SrtpDeriveKey(Master, Key.Salt(), Base + LabelCipher, Keys.Cipher) &&
                  SrtpDeriveKey(Master, Key.Salt(), Base + LabelSalt,
                                std::span(Keys.Salt).first(Gcm ? GcmSaltBytes : CmSaltBytes)) &&
                  (Gcm || SrtpDeriveKey(Master, Key.Salt(), Base + LabelAuth, Keys.Auth));
  if (!Ok) throw Exception("SRTP: the cryptographic library failed to derive the session keys");
}

size_t SrtpRtpHeaderBytes(const uint8_t* P, size_t Length) {
  if (Length < RtpFixedHeaderBytes || (P[0] >> 6) != 2) return 0;
  size_t Bytes = RtpFixedHeaderBytes + 4 * static_cast<size_t>(P[0] & 0x0F);
  if (P[0] & 0x10) {
    if (Bytes + 4 > Length) return 0;
    Bytes += 4 + 4 * static_cast<size_t>(Platform::GetBE16(P + Bytes + 2));
  }
  return Bytes <= Length ? Bytes : 0;
}

TSrtpStreamKeys::TSrtpStreamKeys(TSrtpSuite Suite, TSrtpStreamKind Kind, const TSrtpSessionKeys& Keys,
                                 bool Receiving)
    : FSuite(Suite), FKind(Kind), FTagBytes(TagBytesOf(Suite, Kind)) {
  Key(Keys);
  if (Receiving && IsGcm(Suite)) FScratch.resize(ScratchBytes);
}

TSrtpStreamKeys::TSrtpStreamKeys(const TSrtpMasterKey& Key, TSrtpStreamKind Kind, bool Receiving)
    : FSuite(Key.Suite()), FKind(Kind), FTagBytes(TagBytesOf(Key.Suite(), Kind)) {
  TSrtpSessionKeys Keys;
  SrtpDeriveSessionKeys(Key, Kind, Keys);
  this->Key(Keys);
  if (Receiving && IsGcm(FSuite)) FScratch.resize(ScratchBytes);
}

TSrtpStreamKeys::~TSrtpStreamKeys() { Platform::WipeSecret(FSalt.data(), FSalt.size()); }

void TSrtpStreamKeys::Key(const TSrtpSessionKeys& Keys) {
  FSalt = Keys.Salt;
  if (IsGcm(FSuite)) {
    FGcm = std::make_unique<Platform::TAes128Gcm>(Keys.Cipher);
  } else {
    FCipher = std::make_unique<Platform::TAes128>(Keys.Cipher);
    FAuth = std::make_unique<Platform::THmacSha1>(std::span<const uint8_t>(Keys.Auth.data(), AuthKeyBytes));
  }
}

bool TSrtpStreamKeys::CounterMode(uint8_t* Data, size_t Length, uint32_t Ssrc, uint64_t Index) {
  // IV = (salt * 2^16) XOR (SSRC * 2^64) XOR (index * 2^16); block j of the
  // keystream encrypts IV + j. A stack chunk at a time: no allocation.
  std::array<uint8_t, Platform::AesBlockBytes> Iv{};
  std::copy_n(FSalt.begin(), CmSaltBytes, Iv.begin());
  std::array<uint8_t, 4> SsrcBytes;
  std::array<uint8_t, 6> IndexBytes;
  Platform::PutBE32(SsrcBytes.data(), Ssrc);
  PutBE48(IndexBytes.data(), Index);
  for (size_t I = 0; I < 4; ++I) Iv[4 + I] ^= SsrcBytes[I];
  for (size_t I = 0; I < 6; ++I) Iv[8 + I] ^= IndexBytes[I];

  constexpr size_t ChunkBlocks = 32;
  std::array<uint8_t, ChunkBlocks * Platform::AesBlockBytes> Stream;
  uint32_t Counter = 0;
  while (Length > 0) {
    const size_t Blocks = std::min(ChunkBlocks, (Length + Platform::AesBlockBytes - 1) / Platform::AesBlockBytes);
    for (size_t B = 0; B < Blocks; ++B, ++Counter) {
      uint8_t* Block = Stream.data() + B * Platform::AesBlockBytes;
      std::memcpy(Block, Iv.data(), CmSaltBytes);
      Platform::PutBE16(Block + 14, static_cast<uint16_t>(Counter));
    }
    if (!FCipher->EncryptBlocks(Stream.data(), Stream.data(), Blocks)) return false;
    const size_t Take = std::min(Length, Blocks * Platform::AesBlockBytes);
    for (size_t I = 0; I < Take; ++I) Data[I] ^= Stream[I];
    Data += Take;
    Length -= Take;
  }
  return true;
}

bool TSrtpStreamKeys::AuthTag(const uint8_t* Data, size_t Length, const uint8_t* Roc, uint8_t* Tag) {
  std::array<uint8_t, Platform::Sha1Bytes> Mac;
  if (!FAuth->Update(Data, Length) || (Roc && !FAuth->Update(Roc, 4)) || !FAuth->Final(Mac)) return false;
  std::copy_n(Mac.begin(), FTagBytes, Tag);
  return true;
}

std::array<uint8_t, Platform::GcmIvBytes> TSrtpStreamKeys::GcmIv(uint32_t Ssrc, uint32_t High, uint32_t Low) const {
  // 0x0000 || SSRC || the 48-bit index (ROC || SEQ, or 0x0000 || SRTCP index), XOR the salt.
  std::array<uint8_t, Platform::GcmIvBytes> Iv{};
  Platform::PutBE32(Iv.data() + 2, Ssrc);
  if (FKind == TSrtpStreamKind::Rtp) {
    Platform::PutBE32(Iv.data() + 6, High);
    Platform::PutBE16(Iv.data() + 10, static_cast<uint16_t>(Low));
  } else {
    Platform::PutBE32(Iv.data() + 8, Low);
  }
  for (size_t I = 0; I < Iv.size(); ++I) Iv[I] ^= FSalt[I];
  return Iv;
}

bool TSrtpStreamKeys::GcmOpen(std::span<const uint8_t, Platform::GcmIvBytes> Iv, std::span<const uint8_t> Aad,
                              const uint8_t* In, size_t Length, const uint8_t* Tag, uint8_t* Out) {
  if (Length > FScratch.size()) return false;
  if (!FGcm->Open(Iv, Aad, In, Length, std::span<const uint8_t, Platform::GcmTagBytes>(Tag, Platform::GcmTagBytes),
                  FScratch.data()))
    return false;
  if (Length > 0) std::memcpy(Out, FScratch.data(), Length);
  return true;
}

size_t TSrtpStreamKeys::ProtectRtp(uint8_t* P, size_t HeaderBytes, size_t Length, uint32_t Roc) {
  const uint16_t Seq = Platform::GetBE16(P + 2);
  const uint32_t Ssrc = Platform::GetBE32(P + 8);
  if (FGcm) {
    const auto Iv = GcmIv(Ssrc, Roc, Seq);
    const bool Ok = FGcm->Seal(Iv, {P, HeaderBytes}, P + HeaderBytes, Length - HeaderBytes,
                               std::span<uint8_t, Platform::GcmTagBytes>(P + Length, Platform::GcmTagBytes));
    return Ok ? Length + FTagBytes : 0;
  }
  std::array<uint8_t, 4> RocBytes;
  Platform::PutBE32(RocBytes.data(), Roc);
  if (!CounterMode(P + HeaderBytes, Length - HeaderBytes, Ssrc, static_cast<uint64_t>(Roc) << 16 | Seq) ||
      !AuthTag(P, Length, RocBytes.data(), P + Length))
    return 0;
  return Length + FTagBytes;
}

bool TSrtpStreamKeys::UnprotectRtp(uint8_t* P, size_t HeaderBytes, size_t& Length, uint32_t Roc) {
  const size_t Protected = Length - FTagBytes;
  const uint16_t Seq = Platform::GetBE16(P + 2);
  const uint32_t Ssrc = Platform::GetBE32(P + 8);
  if (FGcm) {
    const auto Iv = GcmIv(Ssrc, Roc, Seq);
    if (!GcmOpen(Iv, {P, HeaderBytes}, P + HeaderBytes, Protected - HeaderBytes, P + Protected, P + HeaderBytes))
      return false;
  } else {
    std::array<uint8_t, 4> RocBytes;
    std::array<uint8_t, Platform::Sha1Bytes> Tag;
    Platform::PutBE32(RocBytes.data(), Roc);
    // The tag first: nothing of a forged packet is decrypted.
    if (!AuthTag(P, Protected, RocBytes.data(), Tag.data()) ||
        !Platform::ConstantTimeEqual(Tag.data(), P + Protected, FTagBytes))
      return false;
    if (!CounterMode(P + HeaderBytes, Protected - HeaderBytes, Ssrc, static_cast<uint64_t>(Roc) << 16 | Seq))
      return false;
  }
  Length = Protected;
  return true;
}

size_t TSrtpStreamKeys::ProtectRtcp(uint8_t* P, size_t Length, uint32_t Index) {
  const uint32_t Ssrc = Platform::GetBE32(P + 4);
  const uint32_t Word = SrtcpEncryptedFlag | Index;
  if (FGcm) {
    // AAD: the clear header words and the E flag with the index; the tag
    // follows the cipher text and the index word the tag (RFC 7714 9.1).
    std::array<uint8_t, RtcpClearBytes + SrtcpIndexBytes> Aad;
    std::memcpy(Aad.data(), P, RtcpClearBytes);
    Platform::PutBE32(Aad.data() + RtcpClearBytes, Word);
    const auto Iv = GcmIv(Ssrc, 0, Index);
    if (!FGcm->Seal(Iv, Aad, P + RtcpClearBytes, Length - RtcpClearBytes,
                    std::span<uint8_t, Platform::GcmTagBytes>(P + Length, Platform::GcmTagBytes)))
      return 0;
    Platform::PutBE32(P + Length + FTagBytes, Word);
    return Length + Overhead();
  }
  if (!CounterMode(P + RtcpClearBytes, Length - RtcpClearBytes, Ssrc, Index)) return 0;
  Platform::PutBE32(P + Length, Word);
  if (!AuthTag(P, Length + SrtcpIndexBytes, nullptr, P + Length + SrtcpIndexBytes)) return 0;
  return Length + Overhead();
}

uint32_t TSrtpStreamKeys::RtcpIndexWord(const uint8_t* P, size_t Length) const {
  return Platform::GetBE32(P + Length - (FGcm ? SrtcpIndexBytes : FTagBytes + SrtcpIndexBytes));
}

bool TSrtpStreamKeys::UnprotectRtcp(uint8_t* P, size_t& Length) {
  const uint32_t Ssrc = Platform::GetBE32(P + 4);
  const uint32_t Word = RtcpIndexWord(P, Length);
  const uint32_t Index = Word & SrtcpMaxIndex;
  const bool Encrypted = (Word & SrtcpEncryptedFlag) != 0;
  const size_t Plain = Length - Overhead();
  if (FGcm) {
    const auto Iv = GcmIv(Ssrc, 0, Index);
    const uint8_t* Tag = P + Plain;
    if (Encrypted) {
      std::array<uint8_t, RtcpClearBytes + SrtcpIndexBytes> Aad;
      std::memcpy(Aad.data(), P, RtcpClearBytes);
      Platform::PutBE32(Aad.data() + RtcpClearBytes, Word);
      if (!GcmOpen(Iv, Aad, P + RtcpClearBytes, Plain - RtcpClearBytes, Tag, P + RtcpClearBytes)) return false;
    } else {
      // Sent only authenticated: all of it, then the index word, is AAD (RFC 7714 17.3).
      if (Plain + SrtcpIndexBytes > FScratch.size()) return false;
      std::memcpy(FScratch.data(), P, Plain);
      Platform::PutBE32(FScratch.data() + Plain, Word);
      if (!FGcm->Open(Iv, {FScratch.data(), Plain + SrtcpIndexBytes}, nullptr, 0,
                      std::span<const uint8_t, Platform::GcmTagBytes>(Tag, Platform::GcmTagBytes),
                      FScratch.data() + Plain + SrtcpIndexBytes))
        return false;
    }
  } else {
    const size_t Authenticated = Plain + SrtcpIndexBytes;
    std::array<uint8_t, Platform::Sha1Bytes> Tag;
    if (!AuthTag(P, Authenticated, nullptr, Tag.data()) ||
        !Platform::ConstantTimeEqual(Tag.data(), P + Authenticated, FTagBytes))
      return false;
    if (Encrypted && !CounterMode(P + RtcpClearBytes, Plain - RtcpClearBytes, Ssrc, Index)) return false;
  }
  Length = Plain;
  return true;
}
