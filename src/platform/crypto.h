#pragma once
// The few cryptographic primitives SRTP needs, from the system's own library:
// OpenSSL's libcrypto on Linux, CNG (bcrypt.dll) on Windows. Nothing here is
// written by hand but the constant-time comparison.
//
// Each object is keyed once when it is made (the expensive part: key schedule,
// library handles) and then used for every packet without allocating, as far
// as the library allows. Construction fails with an Exception when the library
// refuses; a per-packet call that fails returns false. An object is used by one
// thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace Platform {

inline constexpr size_t AesBlockBytes = 16;
inline constexpr size_t Aes128KeyBytes = 16;
inline constexpr size_t GcmIvBytes = 12;
inline constexpr size_t GcmTagBytes = 16;
inline constexpr size_t Sha1Bytes = 20;

// AES-128 in the forward direction only, block by block (ECB): the keystream
// of counter mode and the key derivation's PRF are made of it.
class TAes128 {
public:
  explicit TAes128(std::span<const uint8_t, Aes128KeyBytes> Key);
  ~TAes128();
  TAes128(const TAes128&) = delete;
  TAes128& operator=(const TAes128&) = delete;

  // Encrypts Blocks whole blocks of In into Out (they may be the same).
  bool EncryptBlocks(const uint8_t* In, uint8_t* Out, size_t Blocks);

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// AES-128-GCM with a 12-byte IV and a 16-byte tag.
class TAes128Gcm {
public:
  explicit TAes128Gcm(std::span<const uint8_t, Aes128KeyBytes> Key);
  ~TAes128Gcm();
  TAes128Gcm(const TAes128Gcm&) = delete;
  TAes128Gcm& operator=(const TAes128Gcm&) = delete;

  // Encrypts Data[0, Length) in place and writes the tag.
  bool Seal(std::span<const uint8_t, GcmIvBytes> Iv, std::span<const uint8_t> Aad, uint8_t* Data, size_t Length,
            std::span<uint8_t, GcmTagBytes> Tag);
  // Decrypts In[0, Length) into Out and checks the tag; false when it does not
  // match. Out may be In, but then a refused packet's bytes are lost: callers
  // that must keep them give a buffer of their own.
  bool Open(std::span<const uint8_t, GcmIvBytes> Iv, std::span<const uint8_t> Aad, const uint8_t* In, size_t Length,
            std::span<const uint8_t, GcmTagBytes> Tag, uint8_t* Out);

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// HMAC-SHA1 under one key: any number of messages, each given in pieces
// (Update) and finished by Final, which makes the object ready for the next.
class THmacSha1 {
public:
  explicit THmacSha1(std::span<const uint8_t> Key);
  ~THmacSha1();
  THmacSha1(const THmacSha1&) = delete;
  THmacSha1& operator=(const THmacSha1&) = delete;

  bool Update(const uint8_t* Data, size_t Length);
  bool Final(std::span<uint8_t, Sha1Bytes> Mac);

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// True when A and B hold the same Length bytes; takes as long whatever they
// hold, so that a forged tag learns nothing from the time of its refusal.
bool ConstantTimeEqual(const uint8_t* A, const uint8_t* B, size_t Length);

// Overwrites secret bytes so that the compiler cannot leave the store out.
void WipeSecret(void* Data, size_t Length);

}  // namespace Platform
