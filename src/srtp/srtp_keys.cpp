// The suites' names and the master key.

#include <algorithm>

#include "platform/crypto.h"
#include "srtp/srtp.h"

namespace {

struct TSuiteName {
  TSrtpSuite Suite;
  std::string_view Name;
};
constexpr TSuiteName SuiteNames[] = {
    {TSrtpSuite::AesCm128HmacSha1_80, "AES_CM_128_HMAC_SHA1_80"},
    {TSrtpSuite::AesCm128HmacSha1_32, "AES_CM_128_HMAC_SHA1_32"},
    {TSrtpSuite::AeadAes128Gcm, "AEAD_AES_128_GCM"},
};

}  // namespace

std::optional<TSrtpSuite> SrtpSuiteFromName(std::string_view Name) {
  for (const TSuiteName& S : SuiteNames)
    if (S.Name == Name) return S.Suite;
  return std::nullopt;
}

std::string_view SrtpSuiteName(TSrtpSuite Suite) {
  for (const TSuiteName& S : SuiteNames)
    if (S.Suite == Suite) return S.Name;
  return {};
}

TSrtpMasterKey::TSrtpMasterKey(TSrtpSuite Suite, std::span<const uint8_t> KeyAndSalt) : FSuite(Suite) {
  std::copy_n(KeyAndSalt.begin(), std::min(KeyAndSalt.size(), FBytes.size()), FBytes.begin());
}

TSrtpMasterKey::TSrtpMasterKey(const TSrtpMasterKey& Other) = default;
TSrtpMasterKey& TSrtpMasterKey::operator=(const TSrtpMasterKey& Other) = default;

TSrtpMasterKey::~TSrtpMasterKey() { Platform::WipeSecret(FBytes.data(), FBytes.size()); }
