#pragma once
// The settings of the process: each one a process-wide value with its built-in
// default, read once at start-up from section [Options] of the configuration
// file and only read afterwards.

#include <cstdint>
#include <string>
#include <vector>

extern bool DoLog;
extern bool SaveWavData;
extern std::string LocalIP;
extern uint16_t LocalPort;
extern std::string RemoteIP;
extern uint16_t RemotePort;
extern std::string TCPServerListenIP;
extern uint16_t TCPServerListenPort;
extern bool StartAsClient;
extern int32_t DisconnectTimeOut;
extern uint8_t PayloadType;
extern uint8_t RTPVersion;
extern uint8_t RtpBufSizeMultiple;
extern uint16_t ReceivePayloadTime;
extern uint16_t ReceiveBufCount;
extern uint16_t SendPayloadTime;
extern uint16_t SendBufCount;
extern std::string RecDeviceID;
extern std::string PlayDeviceID;
extern bool NeedMeasure;
extern uint16_t MaxRecvSequenceNumberInterval;

// Section [Logs]: day folders of the log older than this many days are removed
// (today's counts as the first); 0 or less keeps everything.
extern int32_t LogKeepDays;

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
// cannot work, "Error: KEY=VALUE: reason"; the bridge must not start with any.
// SendPacketBytes is the size of the packets that SendPayloadTime gives (the RTP
// layer sizes them), SendPacketLimit the most the sender can send.
struct TStartValueReport {
  std::vector<std::string> Warnings;
  std::vector<std::string> Refusals;
};
TStartValueReport CheckStartValues(uint32_t SendPacketBytes, uint32_t SendPacketLimit);

// Puts every setting back to its built-in default (for tests and reuse).
void ResetStartValues();
