#pragma once
// SRTP and SRTCP with configured keys (RFC 3711), and their AES-GCM form
// (RFC 7714): what protects the audio we send and checks what a peer sends.
//
// The session keys are derived once from the master key (key derivation rate
// 0); each stream's SSRC enters through the IV. The cryptography comes from
// the system (platform/crypto.h). Everything is allocated when a sender or a
// receiver is made, nothing per packet. Neither locks: each belongs to one
// thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

enum class TSrtpSuite : uint8_t { AesCm128HmacSha1_80, AesCm128HmacSha1_32, AeadAes128Gcm };

// "AES_CM_128_HMAC_SHA1_80", "AES_CM_128_HMAC_SHA1_32", "AEAD_AES_128_GCM";
// exact, in the case written.
std::optional<TSrtpSuite> SrtpSuiteFromName(std::string_view Name);
std::string_view SrtpSuiteName(TSrtpSuite Suite);

constexpr size_t SrtpMasterKeyBytes(TSrtpSuite) { return 16; }
constexpr size_t SrtpMasterSaltBytes(TSrtpSuite Suite) { return Suite == TSrtpSuite::AeadAes128Gcm ? 12 : 14; }

// The master key and salt (key || salt), wiped when destroyed; never printed.
class TSrtpMasterKey {
public:
  // KeyAndSalt holds exactly SrtpMasterKeyBytes + SrtpMasterSaltBytes bytes
  // (the caller checked).
  TSrtpMasterKey(TSrtpSuite Suite, std::span<const uint8_t> KeyAndSalt);
  ~TSrtpMasterKey();
  TSrtpMasterKey(const TSrtpMasterKey& Other);
  TSrtpMasterKey& operator=(const TSrtpMasterKey& Other);

  TSrtpSuite Suite() const { return FSuite; }
  std::span<const uint8_t> Key() const { return {FBytes.data(), SrtpMasterKeyBytes(FSuite)}; }
  std::span<const uint8_t> Salt() const {
    return {FBytes.data() + SrtpMasterKeyBytes(FSuite), SrtpMasterSaltBytes(FSuite)};
  }

private:
  TSrtpSuite FSuite;
  std::array<uint8_t, 30> FBytes{};
};

// The largest number of bytes Protect may add to a packet (tag, SRTCP index).
inline constexpr size_t SrtpMaxOverhead = 16 + 4;

enum class TSrtpVerdict : uint8_t {
  Ok,
  TooShort,        // not even an RTP/RTCP header and a tag
  Authentication,  // the tag (or the GCM check) failed: nothing was decrypted
  Replay,          // seen already, or older than the replay window
  Malformed,       // header fields that cannot be right (version, CSRC count/extension beyond the packet)
};

class TSrtpStreamKeys;
class TSrtpSsrcTable;

// What we send: one per session; our SSRC renewal calls Restart (a fresh
// crypto context, ROC 0). A packet of another SSRC than the one before starts
// a fresh context as well. Single-threaded (the session thread); no lock
// inside.
class TSrtpSender {
public:
  explicit TSrtpSender(const TSrtpMasterKey& Key);
  ~TSrtpSender();
  TSrtpSender(const TSrtpSender&) = delete;
  TSrtpSender& operator=(const TSrtpSender&) = delete;

  // Protects the RTP packet Buffer[0, Length) in place; returns the new
  // length, or 0 when Capacity is too small or the packet is not RTP.
  size_t ProtectRtp(uint8_t* Buffer, size_t Length, size_t Capacity);
  // SRTCP: encrypts (E flag set) and appends the SRTCP index and the tag;
  // returns the new length, or 0 as ProtectRtp.
  size_t ProtectRtcp(uint8_t* Buffer, size_t Length, size_t Capacity);
  void Restart();

private:
  std::unique_ptr<TSrtpStreamKeys> FRtp;
  std::unique_ptr<TSrtpStreamKeys> FRtcp;
  bool FStarted = false;  // a packet was protected since the start or Restart
  uint32_t FSsrc = 0;
  uint64_t FHighestIndex = 0;  // ROC || the highest sequence number sent
  uint32_t FRtcpIndex = 0;  // the next SRTCP index
};

// What we receive: a crypto context per SSRC heard (a bounded table; the
// oldest unused one goes), ROC estimation (RFC 3711 3.3.1), a replay window of
// 128 packets, the tag checked first in constant time. A refused packet
// changes nothing, neither the table nor the packet. Single-threaded (the
// network thread); no lock inside.
class TSrtpReceiver {
public:
  explicit TSrtpReceiver(const TSrtpMasterKey& Key);
  ~TSrtpReceiver();
  TSrtpReceiver(const TSrtpReceiver&) = delete;
  TSrtpReceiver& operator=(const TSrtpReceiver&) = delete;

  // Checks and decrypts Data[0, Length) in place; on Ok Length becomes the
  // plain packet's length.
  TSrtpVerdict UnprotectRtp(uint8_t* Data, size_t& Length);
  TSrtpVerdict UnprotectRtcp(uint8_t* Data, size_t& Length);

private:
  std::unique_ptr<TSrtpStreamKeys> FRtp;
  std::unique_ptr<TSrtpStreamKeys> FRtcp;
  std::unique_ptr<TSrtpSsrcTable> FContexts;
};
