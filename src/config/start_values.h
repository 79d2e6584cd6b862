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

// One line for each setting whose value, as read, leaves the bridge deaf or
// mute, never drops a peer, or loses audio by rule, or which did not fit its
// width: "Warning: KEY=VALUE: consequence". The values themselves stay as read.
std::vector<std::string> StartValueWarnings();

// Puts every setting back to its built-in default (for tests and reuse).
void ResetStartValues();
