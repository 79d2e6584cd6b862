// The primitives of crypto.h over CNG (bcrypt.dll), which every Windows since
// Vista carries: the program needs no cryptographic DLL of its own.

#include "platform/crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <vector>

#include "platform/exception.h"

#ifndef STATUS_AUTH_TAG_MISMATCH
#define STATUS_AUTH_TAG_MISMATCH static_cast<NTSTATUS>(0xC000A002L)
#endif

namespace Platform {

namespace {

bool Succeeded(NTSTATUS Status) { return Status >= 0; }

// An algorithm provider and, once made, one key or hash object of it, with the
// object's memory held here so that CNG allocates nothing per packet.
struct TCngAlgorithm {
  BCRYPT_ALG_HANDLE Alg = nullptr;
  std::vector<UCHAR> Object;

  TCngAlgorithm(const wchar_t* Name, ULONG Flags, const wchar_t* ChainingMode, const char* What) {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&Alg, Name, nullptr, Flags)))
      throw Exception(Format("%s: CNG has no such algorithm", What));
    if (ChainingMode &&
        !Succeeded(BCryptSetProperty(Alg, BCRYPT_CHAINING_MODE,
                                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(ChainingMode)),
                                     static_cast<ULONG>((wcslen(ChainingMode) + 1) * sizeof(wchar_t)), 0))) {
      BCryptCloseAlgorithmProvider(Alg, 0);
      throw Exception(Format("%s: CNG refused the chaining mode", What));
    }
    DWORD Size = 0;
    ULONG Got = 0;
    if (!Succeeded(BCryptGetProperty(Alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&Size), sizeof(Size), &Got,
                                     0))) {
      BCryptCloseAlgorithmProvider(Alg, 0);
      throw Exception(Format("%s: CNG did not say its object size", What));
    }
    Object.resize(Size);
  }
  ~TCngAlgorithm() {
    WipeSecret(Object.data(), Object.size());
    BCryptCloseAlgorithmProvider(Alg, 0);
  }
  TCngAlgorithm(const TCngAlgorithm&) = delete;
  TCngAlgorithm& operator=(const TCngAlgorithm&) = delete;
};

// An AES key in the given chaining mode.
struct TCngKey {
  TCngAlgorithm Algorithm;
  BCRYPT_KEY_HANDLE Key = nullptr;

  TCngKey(const wchar_t* ChainingMode, std::span<const uint8_t, Aes128KeyBytes> Bytes, const char* What)
      : Algorithm(BCRYPT_AES_ALGORITHM, 0, ChainingMode, What) {
    if (!Succeeded(BCryptGenerateSymmetricKey(Algorithm.Alg, &Key, Algorithm.Object.data(),
                                              static_cast<ULONG>(Algorithm.Object.size()),
                                              const_cast<PUCHAR>(Bytes.data()), static_cast<ULONG>(Bytes.size()), 0)))
      throw Exception(Format("%s: CNG refused the key", What));
  }
  ~TCngKey() { BCryptDestroyKey(Key); }
  TCngKey(const TCngKey&) = delete;
  TCngKey& operator=(const TCngKey&) = delete;
};

bool FitsUlong(size_t Length) { return Length <= 0xFFFFFFFFu; }

// CNG wants a buffer even for no bytes.
PUCHAR NonNull(const uint8_t* P) {
  static UCHAR Empty;
  return P ? const_cast<PUCHAR>(P) : &Empty;
}

}  // namespace

// ---- AES-128, block by block

struct TAes128::TImpl {
  TCngKey Key;
  explicit TImpl(std::span<const uint8_t, Aes128KeyBytes> Bytes) : Key(BCRYPT_CHAIN_MODE_ECB, Bytes, "AES-128") {}
};

TAes128::TAes128(std::span<const uint8_t, Aes128KeyBytes> Key) : FImpl(std::make_unique<TImpl>(Key)) {}

TAes128::~TAes128() = default;

bool TAes128::EncryptBlocks(const uint8_t* In, uint8_t* Out, size_t Blocks) {
  const size_t Length = Blocks * AesBlockBytes;
  if (!FitsUlong(Length)) return false;
  ULONG Written = 0;
  return Succeeded(BCryptEncrypt(FImpl->Key.Key, const_cast<PUCHAR>(In), static_cast<ULONG>(Length), nullptr,
                                 nullptr, 0, Out, static_cast<ULONG>(Length), &Written, 0)) &&
         Written == Length;
}

// ---- AES-128-GCM

struct TAes128Gcm::TImpl {
  TCngKey Key;
  explicit TImpl(std::span<const uint8_t, Aes128KeyBytes> Bytes)
      : Key(BCRYPT_CHAIN_MODE_GCM, Bytes, "AES-128-GCM") {}
};

TAes128Gcm::TAes128Gcm(std::span<const uint8_t, Aes128KeyBytes> Key) : FImpl(std::make_unique<TImpl>(Key)) {}

TAes128Gcm::~TAes128Gcm() = default;

namespace {

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO GcmInfo(const uint8_t* Iv, std::span<const uint8_t> Aad, const uint8_t* Tag) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO Info;
  BCRYPT_INIT_AUTH_MODE_INFO(Info);
  Info.pbNonce = const_cast<PUCHAR>(Iv);
  Info.cbNonce = static_cast<ULONG>(GcmIvBytes);
  Info.pbAuthData = Aad.empty() ? nullptr : const_cast<PUCHAR>(Aad.data());
  Info.cbAuthData = static_cast<ULONG>(Aad.size());
  Info.pbTag = const_cast<PUCHAR>(Tag);
  Info.cbTag = static_cast<ULONG>(GcmTagBytes);
  return Info;
}

}  // namespace

bool TAes128Gcm::Seal(std::span<const uint8_t, GcmIvBytes> Iv, std::span<const uint8_t> Aad, uint8_t* Data,
                      size_t Length, std::span<uint8_t, GcmTagBytes> Tag) {
  if (!FitsUlong(Length) || !FitsUlong(Aad.size())) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO Info = GcmInfo(Iv.data(), Aad, Tag.data());
  ULONG Written = 0;
  return Succeeded(BCryptEncrypt(FImpl->Key.Key, NonNull(Data), static_cast<ULONG>(Length), &Info, nullptr, 0,
                                 NonNull(Data), static_cast<ULONG>(Length), &Written, 0));
}

bool TAes128Gcm::Open(std::span<const uint8_t, GcmIvBytes> Iv, std::span<const uint8_t> Aad, const uint8_t* In,
                      size_t Length, std::span<const uint8_t, GcmTagBytes> Tag, uint8_t* Out) {
  if (!FitsUlong(Length) || !FitsUlong(Aad.size())) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO Info = GcmInfo(Iv.data(), Aad, Tag.data());
  ULONG Written = 0;
  // A wrong tag is STATUS_AUTH_TAG_MISMATCH; CNG compares it itself.
  return Succeeded(BCryptDecrypt(FImpl->Key.Key, NonNull(In), static_cast<ULONG>(Length), &Info, nullptr, 0,
                                 NonNull(Out), static_cast<ULONG>(Length), &Written, 0));
}

// ---- HMAC-SHA1

struct THmacSha1::TImpl {
  TCngAlgorithm Algorithm{BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG, nullptr, "HMAC-SHA1"};
  BCRYPT_HASH_HANDLE Hash = nullptr;
  // A reusable hash object starts the next message by itself after Finish;
  // where CNG cannot (before Windows 8) the object is made again per message
  // in the same memory, under the key kept here.
  bool Reusable = true;
  std::vector<UCHAR> Key;

  bool Create(ULONG Flags) {
    return Succeeded(BCryptCreateHash(Algorithm.Alg, &Hash, Algorithm.Object.data(),
                                      static_cast<ULONG>(Algorithm.Object.size()), Key.data(),
                                      static_cast<ULONG>(Key.size()), Flags));
  }
  ~TImpl() {
    if (Hash) BCryptDestroyHash(Hash);
    WipeSecret(Key.data(), Key.size());
  }
};

THmacSha1::THmacSha1(std::span<const uint8_t> Key) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Key.assign(Key.begin(), Key.end());
  if (FImpl->Create(BCRYPT_HASH_REUSABLE_FLAG)) return;
  FImpl->Reusable = false;
  if (!FImpl->Create(0)) throw Exception("HMAC-SHA1: CNG refused the key");
}

THmacSha1::~THmacSha1() = default;

bool THmacSha1::Update(const uint8_t* Data, size_t Length) {
  if (!FImpl->Hash && !FImpl->Create(0)) return false;
  if (!FitsUlong(Length)) return false;
  return Succeeded(BCryptHashData(FImpl->Hash, NonNull(Data), static_cast<ULONG>(Length), 0));
}

bool THmacSha1::Final(std::span<uint8_t, Sha1Bytes> Mac) {
  if (!FImpl->Hash && !FImpl->Create(0)) return false;
  const bool Done = Succeeded(BCryptFinishHash(FImpl->Hash, Mac.data(), static_cast<ULONG>(Mac.size()), 0));
  if (!FImpl->Reusable) {
    BCryptDestroyHash(FImpl->Hash);
    FImpl->Hash = nullptr;
  }
  return Done;
}

bool ConstantTimeEqual(const uint8_t* A, const uint8_t* B, size_t Length) {
  // Every byte is looked at whatever the earlier ones said.
  volatile uint8_t Difference = 0;
  for (size_t I = 0; I < Length; ++I) Difference = Difference | static_cast<uint8_t>(A[I] ^ B[I]);
  return Difference == 0;
}

void WipeSecret(void* Data, size_t Length) { SecureZeroMemory(Data, Length); }

}  // namespace Platform
