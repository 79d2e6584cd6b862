#pragma once
// Section [Srtp] of the configuration file: the call encrypted (SRTP, RFC 3711)
// with keys set by hand, since the bridge has no signalling to agree on them.
//
//   [Srtp]
//   Suite=AES_CM_128_HMAC_SHA1_80  ; or AES_CM_128_HMAC_SHA1_32, AEAD_AES_128_GCM
//   SendKey=inline:BASE64          ; what we send: master key and salt (RFC 4568)
//   ReceiveKey=inline:BASE64       ; what the peers send
//   KeyFile=srtp.key               ; instead of the two keys: a file of two lines,
//                                  ; "SendKey=inline:..." and "ReceiveKey=inline:..."
//   Required=1                     ; 0: plain RTP is accepted too (a migration)
//
// A file without the section sends and accepts plain RTP. With the section,
// nothing in it may be wrong: every problem is a refusal of the start, never
// plain RTP instead. The lines name the key, never its value.

#include <memory>
#include <string>
#include <vector>

#include "srtp/srtp.h"

class TIniFile;

struct TSrtpSettings {
  bool On = false;  // the section is there
  TSrtpSuite Suite = TSrtpSuite::AesCm128HmacSha1_80;
  // Both set when On and nothing was refused. Shared: the settings are copied,
  // the key bytes are not (and are wiped when the last owner goes).
  std::shared_ptr<const TSrtpMasterKey> SendKey, ReceiveKey;
  bool Required = true;
  // "Error: [Srtp] ..." lines; the bridge must not start with any.
  std::vector<std::string> Refusals;
};

// Read by LoadStartValues with the other settings (StartValues.Srtp). A
// relative KeyFile is taken from IniDir (with its trailing separator).
TSrtpSettings ReadSrtpSettings(const TIniFile& Ini, const std::string& IniDir);
