// The primitives of crypto.h over OpenSSL 3's EVP interfaces.

#include "platform/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <climits>

#include "platform/exception.h"

namespace Platform {

namespace {

struct TCipherCtxFree {
  void operator()(EVP_CIPHER_CTX* Ctx) const { EVP_CIPHER_CTX_free(Ctx); }
};
using TCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, TCipherCtxFree>;

TCipherCtx NewCipher(const EVP_CIPHER* Cipher, const uint8_t* Key, const char* What) {
  TCipherCtx Ctx(EVP_CIPHER_CTX_new());
  if (!Ctx || EVP_EncryptInit_ex(Ctx.get(), Cipher, nullptr, Key, nullptr) != 1)
    throw Exception(Format("%s: the cryptographic library refused the key", What));
  return Ctx;
}

// EVP counts in int; a packet never comes near, but a caller's length is checked.
bool FitsInt(size_t Length) { return Length <= static_cast<size_t>(INT_MAX); }

// An init without a key starts the next message under the key given first.
// (OpenSSL 3.0 copies its digest contexts there, which allocates: HMAC is the
// one primitive here that does per packet.)
bool Restart(EVP_MAC_CTX* Ctx, bool& Finished) {
  if (!Finished) return true;
  Finished = false;
  return EVP_MAC_init(Ctx, nullptr, 0, nullptr) == 1;
}

}  // namespace

// ---- AES-128, block by block

struct TAes128::TImpl {
  TCipherCtx Ctx;
};

TAes128::TAes128(std::span<const uint8_t, Aes128KeyBytes> Key) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Ctx = NewCipher(EVP_aes_128_ecb(), Key.data(), "AES-128");
  EVP_CIPHER_CTX_set_padding(FImpl->Ctx.get(), 0);
}

TAes128::~TAes128() = default;

bool TAes128::EncryptBlocks(const uint8_t* In, uint8_t* Out, size_t Blocks) {
  if (!FitsInt(Blocks * AesBlockBytes)) return false;
  int Written = 0;
  return EVP_EncryptUpdate(FImpl->Ctx.get(), Out, &Written, In, static_cast<int>(Blocks * AesBlockBytes)) == 1 &&
         static_cast<size_t>(Written) == Blocks * AesBlockBytes;
}

// ---- AES-128-GCM

struct TAes128Gcm::TImpl {
  TCipherCtx Ctx;
};

TAes128Gcm::TAes128Gcm(std::span<const uint8_t, Aes128KeyBytes> Key) : FImpl(std::make_unique<TImpl>()) {
  // 12 bytes is GCM's default IV length; the key is scheduled once here and
  // every packet only sets its IV.
  FImpl->Ctx = NewCipher(EVP_aes_128_gcm(), Key.data(), "AES-128-GCM");
}

TAes128Gcm::~TAes128Gcm() = default;

bool TAes128Gcm::Seal(std::span<const uint8_t, GcmIvBytes> Iv, std::span<const uint8_t> Aad, uint8_t* Data,
                      size_t Length, std::span<uint8_t, GcmTagBytes> Tag) {
  EVP_CIPHER_CTX* Ctx = FImpl->Ctx.get();
  if (!FitsInt(Length) || !FitsInt(Aad.size())) return false;
  int Written = 0;
  if (EVP_CipherInit_ex(Ctx, nullptr, nullptr, nullptr, Iv.data(), 1) != 1) return false;
  if (!Aad.empty() && EVP_CipherUpdate(Ctx, nullptr, &Written, Aad.data(), static_cast<int>(Aad.size())) != 1)
    return false;
  if (Length > 0 && EVP_CipherUpdate(Ctx, Data, &Written, Data, static_cast<int>(Length)) != 1) return false;
  if (EVP_CipherFinal_ex(Ctx, Data + Length, &Written) != 1) return false;
  return EVP_CIPHER_CTX_ctrl(Ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(GcmTagBytes), Tag.data()) == 1;
}

bool TAes128Gcm::Open(std::span<const uint8_t, GcmIvBytes> Iv, std::span<const uint8_t> Aad, const uint8_t* In,
                      size_t Length, std::span<const uint8_t, GcmTagBytes> Tag, uint8_t* Out) {
  EVP_CIPHER_CTX* Ctx = FImpl->Ctx.get();
  if (!FitsInt(Length) || !FitsInt(Aad.size())) return false;
  int Written = 0;
  if (EVP_CipherInit_ex(Ctx, nullptr, nullptr, nullptr, Iv.data(), 0) != 1) return false;
  if (!Aad.empty() && EVP_CipherUpdate(Ctx, nullptr, &Written, Aad.data(), static_cast<int>(Aad.size())) != 1)
    return false;
  if (Length > 0 && EVP_CipherUpdate(Ctx, Out, &Written, In, static_cast<int>(Length)) != 1) return false;
  // The library compares the tag (in constant time) in Final.
  if (EVP_CIPHER_CTX_ctrl(Ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(GcmTagBytes),
                          const_cast<uint8_t*>(Tag.data())) != 1)
    return false;
  return EVP_CipherFinal_ex(Ctx, Out + Length, &Written) == 1;
}

// ---- HMAC-SHA1

struct TMacFree {
  void operator()(EVP_MAC* Mac) const { EVP_MAC_free(Mac); }
  void operator()(EVP_MAC_CTX* Ctx) const { EVP_MAC_CTX_free(Ctx); }
};

struct THmacSha1::TImpl {
  std::unique_ptr<EVP_MAC, TMacFree> Mac;
  std::unique_ptr<EVP_MAC_CTX, TMacFree> Ctx;
  bool Finished = false;  // Final ran: the next message starts with an init
};

THmacSha1::THmacSha1(std::span<const uint8_t> Key) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Mac.reset(EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr));
  if (FImpl->Mac) FImpl->Ctx.reset(EVP_MAC_CTX_new(FImpl->Mac.get()));
  char Digest[] = "SHA1";
  const OSSL_PARAM Params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, Digest, 0),
                               OSSL_PARAM_construct_end()};
  if (!FImpl->Ctx || EVP_MAC_init(FImpl->Ctx.get(), Key.data(), Key.size(), Params) != 1)
    throw Exception("HMAC-SHA1: the cryptographic library refused the key");
}

THmacSha1::~THmacSha1() = default;

bool THmacSha1::Update(const uint8_t* Data, size_t Length) {
  return Restart(FImpl->Ctx.get(), FImpl->Finished) && EVP_MAC_update(FImpl->Ctx.get(), Data, Length) == 1;
}

bool THmacSha1::Final(std::span<uint8_t, Sha1Bytes> Mac) {
  if (!Restart(FImpl->Ctx.get(), FImpl->Finished)) return false;
  size_t Written = 0;
  FImpl->Finished = true;
  return EVP_MAC_final(FImpl->Ctx.get(), Mac.data(), &Written, Mac.size()) == 1 && Written == Sha1Bytes;
}

bool ConstantTimeEqual(const uint8_t* A, const uint8_t* B, size_t Length) { return CRYPTO_memcmp(A, B, Length) == 0; }

void WipeSecret(void* Data, size_t Length) { OPENSSL_cleanse(Data, Length); }

}  // namespace Platform
