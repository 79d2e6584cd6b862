#include "config/srtp_settings.h"

#include <algorithm>
#include <cstdint>

#include "config/ini_file.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

const char* const Section = "Srtp";

// Key text and key bytes are wiped before their memory goes back: a later
// crash dump or a reused block must not hold them.
struct TWipedText {
  std::string Text;
  ~TWipedText() { Platform::WipeSecret(Text.data(), Text.size()); }
};

struct TWipedBytes {
  std::vector<uint8_t> Bytes;
  ~TWipedBytes() { Platform::WipeSecret(Bytes.data(), Bytes.size()); }
};

bool StartsWithNoCase(const std::string& Text, const char* Prefix) {
  for (size_t I = 0; Prefix[I] != '\0'; ++I) {
    if (I >= Text.size()) return false;
    const char C = Text[I];
    if ((C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C) != Prefix[I]) return false;
  }
  return true;
}

// One key in RFC 4568's inline form; Where names it in the refusal ("[Srtp]
// SendKey", "[Srtp] KeyFile=PATH: SendKey"). Null after a refusal.
// Missing says where the key belongs.
std::shared_ptr<const TSrtpMasterKey> ParseKey(const std::string& Value, TSrtpSuite Suite, const std::string& Where,
                                               const char* Missing, std::vector<std::string>& Refusals) {
  auto Refuse = [&](const std::string& Reason) {
    Refusals.push_back("Error: " + Where + ": " + Reason);
    return nullptr;
  };
  if (Value.empty()) return Refuse(Missing);
  static constexpr char Inline[] = "inline:";
  if (!StartsWithNoCase(Value, Inline)) return Refuse("not of the form inline:BASE64");
  // SDES may add "|lifetime" and "|MKI:length"; one key for the whole call has
  // no use for either, and an MKI would change the packets' layout.
  if (Value.find('|') != std::string::npos) return Refuse("a lifetime or MKI after \"|\" is not supported");
  TWipedBytes Decoded;
  if (!Platform::DecodeBase64(std::string_view(Value).substr(sizeof(Inline) - 1), Decoded.Bytes))
    return Refuse("not base64");
  const size_t Wanted = SrtpMasterKeyBytes(Suite) + SrtpMasterSaltBytes(Suite);
  if (Decoded.Bytes.size() != Wanted)
    return Refuse(std::to_string(Decoded.Bytes.size()) + " bytes, " + std::string(SrtpSuiteName(Suite)) + " takes " +
                  std::to_string(Wanted) + " (" + std::to_string(SrtpMasterKeyBytes(Suite)) + " of key, " +
                  std::to_string(SrtpMasterSaltBytes(Suite)) + " of salt)");
  return std::make_shared<const TSrtpMasterKey>(Suite, Decoded.Bytes);
}

void ReadKeys(const TIniFile& Ini, const std::string& IniDir, TSrtpSettings& R) {
  const std::string KeyFile = Ini.ReadString(Section, "KeyFile", "");
  TWipedText Send{Ini.ReadString(Section, "SendKey", "")}, Receive{Ini.ReadString(Section, "ReceiveKey", "")};
  if (KeyFile.empty()) {
    const char* Missing = "missing, set SendKey and ReceiveKey, or KeyFile";
    R.SendKey = ParseKey(Send.Text, R.Suite, "[Srtp] SendKey", Missing, R.Refusals);
    R.ReceiveKey = ParseKey(Receive.Text, R.Suite, "[Srtp] ReceiveKey", Missing, R.Refusals);
    return;
  }
  const std::string Where = "[Srtp] KeyFile=" + KeyFile;
  // Two places for one key: which is meant cannot be guessed.
  if (!Send.Text.empty() || !Receive.Text.empty()) {
    R.Refusals.push_back("Error: " + Where + ": SendKey or ReceiveKey is set in [Srtp] too, keep the keys in one place");
    return;
  }
  TWipedText File;
  if (!Platform::ReadWholeFile(Platform::IsAbsolutePath(KeyFile) ? KeyFile : IniDir + KeyFile, File.Text)) {
    R.Refusals.push_back("Error: " + Where + ": cannot be read");
    return;
  }
  // The two lines come before any section: the file's nameless one.
  const TIniFile Keys = TIniFile::FromText(File.Text);
  if (Keys.ByteOrderMark() == TByteOrderMark::Utf16) {
    R.Refusals.push_back("Error: " + Where + ": UTF-16 text, save it as ANSI or UTF-8");
    return;
  }
  Send.Text = Keys.ReadString("", "SendKey", "");
  Receive.Text = Keys.ReadString("", "ReceiveKey", "");
  const char* Missing = "missing, the file holds the lines SendKey=inline:... and ReceiveKey=inline:...";
  R.SendKey = ParseKey(Send.Text, R.Suite, Where + ": SendKey", Missing, R.Refusals);
  R.ReceiveKey = ParseKey(Receive.Text, R.Suite, Where + ": ReceiveKey", Missing, R.Refusals);
}

}  // namespace

TSrtpSettings ReadSrtpSettings(const TIniFile& Ini, const std::string& IniDir) {
  TSrtpSettings R;
  if (!Ini.HasSection(Section)) return R;
  R.On = true;
  const std::string SuiteName = Ini.ReadString(Section, "Suite", std::string(SrtpSuiteName(R.Suite)));
  const std::optional<TSrtpSuite> Suite = SrtpSuiteFromName(SuiteName);
  if (!Suite) {
    // Without a suite no key length can be judged: the keys wait for the next start.
    R.Refusals.push_back("Error: [Srtp] Suite=" + SuiteName +
                         ": not a suite (AES_CM_128_HMAC_SHA1_80, AES_CM_128_HMAC_SHA1_32 or AEAD_AES_128_GCM)");
    return R;
  }
  R.Suite = *Suite;
  // A number, as every switch of the file; a word here could mean either, and
  // the default is the safe one only for the one who meant it.
  const std::string Required = Ini.ReadString(Section, "Required", "1");
  int32_t Number = 1;
  if (Required.empty() || TIniFile::ParseInteger(Required, Number))
    R.Required = Number != 0;
  else
    R.Refusals.push_back("Error: [Srtp] Required=" + Required + ": not a number, 1 (only SRTP) or 0 (plain RTP too)");
  ReadKeys(Ini, IniDir, R);
  if (!R.Refusals.empty()) R.SendKey = R.ReceiveKey = nullptr;
  return R;
}
