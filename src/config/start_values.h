#pragma once
// The settings of the process, read once at start-up from the configuration
// file and only read afterwards.
//
// DoLog is the log's switch: every caller that writes an informational line
// tests it. Everything else is one value, StartValues, that the host reads and
// hands down (to the session, which hands each processor what it needs); no
// other component reads it.

#include <cstdint>
#include <string>
#include <vector>

#include "config/quality_settings.h"
#include "config/receive_settings.h"
#include "config/rtcp_settings.h"
#include "config/srtp_settings.h"

extern bool DoLog;

struct TStartValues {
  // [Options], each with its built-in default.
  bool SaveWavData = false;
  std::string LocalIP = "0.0.0.0";
  uint16_t LocalPort = 30000;
  std::string RemoteIP = "192.168.1.254";
  uint16_t RemotePort = 30000;
  std::string TCPServerListenIP = "0.0.0.0";
  uint16_t TCPServerListenPort = 25003;
  bool StartAsClient = false;
  int32_t DisconnectTimeOut = 2000;
  uint8_t PayloadType = 8;
  uint8_t RTPVersion = 2;
  uint8_t RtpBufSizeMultiple = 1;
  uint16_t ReceivePayloadTime = 20;
  uint16_t ReceiveBufCount = 3;
  uint16_t SendPayloadTime = 20;
  uint16_t SendBufCount = 5;
  std::string RecDeviceID;
  std::string PlayDeviceID;
  bool NeedMeasure = false;
  uint16_t MaxRecvSequenceNumberInterval = 100;
  // [Logs] KeepDays: day folders of the log older than this many days are
  // removed (today's counts as the first); 0 or less keeps everything.
  int32_t LogKeepDays = 0;
  TReceiveSettings Receive;  // [Receive]
  TQualitySettings Quality;  // [Quality]
  TRtcpSettings Rtcp;        // [Rtcp]
  TSrtpSettings Srtp;        // [Srtp]
};

extern TStartValues StartValues;

// Full path of the configuration file: the executable's path with ".ini".
extern std::string ConfigFileName;

// Names of the default files carried inside the executable. The first is the
// configuration's image, written under ConfigFileName's name.
extern const std::vector<std::string> DefaultConfigFiles;

// Writes out each missing default file beside the executable, then reads all
// settings from ConfigFileName. Never fails: problems leave the defaults.
void LoadStartValues();

// The same against an explicit directory (with its trailing separator) and
// configuration file; LoadStartValues uses the executable's.
void LoadStartValuesFrom(const std::string& ExeDir, const std::string& ConfigFile);

// What the settings, as read, mean for the start. Warnings: one line for each
// value that leaves the bridge deaf or mute, never drops a peer, or loses audio by
// rule, that did not fit its width or was no number, "Warning: KEY=VALUE:
// consequence"; the values stay as read. Refusals: one line for each value that
// cannot work, "Error: KEY=VALUE: reason" (a key of [Srtp] without its value);
// the bridge must not start with any.
// SendPacketBytes is the size of the packets that SendPayloadTime gives (the RTP
// layer sizes them), SendPacketLimit the most the sender can send.
struct TStartValueReport {
  std::vector<std::string> Warnings;
  std::vector<std::string> Refusals;
};
TStartValueReport CheckStartValues(uint32_t SendPacketBytes, uint32_t SendPacketLimit);

// Puts every setting back to its built-in default (for tests and reuse).
void ResetStartValues();
