#include "config/start_values.h"

#include "config/ini_file.h"
#include "config/receive_settings.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/resources.h"

bool DoLog;
bool SaveWavData;
std::string LocalIP;
uint16_t LocalPort;
std::string RemoteIP;
uint16_t RemotePort;
std::string TCPServerListenIP;
uint16_t TCPServerListenPort;
bool StartAsClient;
int32_t DisconnectTimeOut;
uint8_t PayloadType;
uint8_t RTPVersion;
uint8_t RtpBufSizeMultiple;
uint16_t ReceivePayloadTime;
uint16_t ReceiveBufCount;
uint16_t SendPayloadTime;
uint16_t SendBufCount;
std::string RecDeviceID;
std::string PlayDeviceID;
bool NeedMeasure;
uint16_t MaxRecvSequenceNumberInterval;
int32_t LogKeepDays;
// Defined here, before the defaults below are set at start-up.
TReceiveSettings ReceiveSettings;

std::string ConfigFileName = Platform::ChangeFileExt(Platform::ExePath(), ".ini");

const std::vector<std::string> DefaultConfigFiles = {"Brenvic.ini"};

namespace {
// The numbers read that did not fit their setting's width: key and the number
// as it stood in the file. Written by the load, read by StartValueWarnings.
std::vector<std::pair<std::string, int32_t>> CutValues;

}  // namespace

void ResetStartValues() {
  CutValues.clear();
  DoLog = false;
  SaveWavData = false;
  LocalIP = "0.0.0.0";
  LocalPort = 30000;
  RemoteIP = "192.168.1.254";
  RemotePort = 30000;
  TCPServerListenIP = "0.0.0.0";
  TCPServerListenPort = 25003;
  StartAsClient = false;
  DisconnectTimeOut = 2000;
  PayloadType = 8;
  RTPVersion = 2;
  RtpBufSizeMultiple = 1;
  ReceivePayloadTime = 20;
  ReceiveBufCount = 3;
  SendPayloadTime = 20;
  SendBufCount = 5;
  RecDeviceID.clear();
  PlayDeviceID.clear();
  NeedMeasure = false;
  MaxRecvSequenceNumberInterval = 100;
  LogKeepDays = 0;
  ReceiveSettings = {};
}

namespace {
template <typename T>
T ReadCut(const TIniFile& Ini, const std::string& Section, const std::string& Key, T Current) {
  const int32_t Raw = Ini.ReadInteger(Section, Key, Current);
  const T Value = static_cast<T>(Raw);
  if (static_cast<int32_t>(Value) != Raw) CutValues.emplace_back(Key, Raw);
  return Value;
}

struct TDefaultsAtStart {
  TDefaultsAtStart() { ResetStartValues(); }
} DefaultsAtStart;

void WriteMissingDefaultFiles(const std::string& ExeDir, const std::string& ConfigFile) {
  for (const std::string& Name : DefaultConfigFiles) {
    // The configuration's image goes under the name that is read, so that a
    // renamed executable starts from it too.
    const std::string Path = &Name == &DefaultConfigFiles.front() ? ConfigFile : ExeDir + Name;
    if (Platform::FileExists(Path)) continue;
    std::string ResourceName = Name;
    for (char& C : ResourceName)
      if (C == '.') C = '_';
    std::string Image;
    if (!Platform::LoadResourceBytes(ResourceName, "CFGFILE", Image)) continue;
    Platform::WriteWholeFile(Path, Image);  // a failure is swallowed
  }
}
}  // namespace

void LoadStartValuesFrom(const std::string& ExeDir, const std::string& ConfigFile) {
  WriteMissingDefaultFiles(ExeDir, ConfigFile);

  const TIniFile Ini(ConfigFile);
  const std::string S = "Options";
  CutValues.clear();
  // Each read keeps the current value as its default; whole numbers are cut to
  // the width of their setting.
  DoLog = Ini.ReadBool(S, "DoLog", DoLog);
  SaveWavData = Ini.ReadBool(S, "SaveWavData", SaveWavData);
  LocalIP = Ini.ReadString(S, "LocalIP", LocalIP);
  LocalPort = ReadCut<uint16_t>(Ini, S, "LocalPort", LocalPort);
  RemoteIP = Ini.ReadString(S, "RemoteIP", RemoteIP);
  RemotePort = ReadCut<uint16_t>(Ini, S, "RemotePort", RemotePort);
  TCPServerListenIP = Ini.ReadString(S, "TCPServerListenIP", TCPServerListenIP);
  TCPServerListenPort = ReadCut<uint16_t>(Ini, S, "TCPServerListenPort", TCPServerListenPort);
  StartAsClient = Ini.ReadBool(S, "StartAsClient", StartAsClient);
  DisconnectTimeOut = Ini.ReadInteger(S, "DisconnectTimeOut", DisconnectTimeOut);
  PayloadType = ReadCut<uint8_t>(Ini, S, "PayloadType", PayloadType);
  RTPVersion = ReadCut<uint8_t>(Ini, S, "RTPVersion", RTPVersion);
  RtpBufSizeMultiple = ReadCut<uint8_t>(Ini, S, "RtpBufSizeMultiple", RtpBufSizeMultiple);
  ReceivePayloadTime = ReadCut<uint16_t>(Ini, S, "ReceivePayloadTime", ReceivePayloadTime);
  ReceiveBufCount = ReadCut<uint16_t>(Ini, S, "ReceiveBufCount", ReceiveBufCount);
  SendPayloadTime = ReadCut<uint16_t>(Ini, S, "SendPayloadTime", SendPayloadTime);
  SendBufCount = ReadCut<uint16_t>(Ini, S, "SendBufCount", SendBufCount);
  RecDeviceID = Ini.ReadString(S, "RecDeviceID", RecDeviceID);
  PlayDeviceID = Ini.ReadString(S, "PlayDeviceID", PlayDeviceID);
  NeedMeasure = Ini.ReadBool(S, "NeedMeasure", NeedMeasure);
  MaxRecvSequenceNumberInterval = ReadCut<uint16_t>(Ini, S, "MaxRecvSequenceNumberInterval", MaxRecvSequenceNumberInterval);

  LogKeepDays = Ini.ReadInteger("Logs", "KeepDays", LogKeepDays);
  ReceiveSettings = ReadReceiveSettings(Ini);
}

void LoadStartValues() { LoadStartValuesFrom(Platform::ExeDir(), ConfigFileName); }

std::vector<std::string> StartValueWarnings() {
  std::vector<std::string> Lines;
  auto Warn = [&](const std::string& Key, int64_t Value, std::string Consequence) {
    for (const auto& [CutKey, Raw] : CutValues)
      if (CutKey == Key) {
        Consequence = "does not fit, " + std::to_string(Value) + " is used" +
                      (Consequence.empty() ? "" : "; " + Consequence);
        Value = Raw;
      }
    if (!Consequence.empty()) Lines.push_back("Warning: " + Key + "=" + std::to_string(Value) + ": " + Consequence);
  };
  // In the order of the file's keys.
  Warn("LocalPort", LocalPort,
       LocalPort == 0 && !StartAsClient ? "the system picks a port that no peer knows, the bridge is deaf" : "");
  Warn("RemotePort", RemotePort, "");
  Warn("TCPServerListenPort", TCPServerListenPort, "");
  if (DisconnectTimeOut < 0)
    Warn("DisconnectTimeOut", DisconnectTimeOut, "a peer that falls silent is never dropped");
  else if (DisconnectTimeOut == 0)
    Warn("DisconnectTimeOut", DisconnectTimeOut, "every peer is dropped at each check, received audio is lost");
  Warn("PayloadType", PayloadType, "");
  Warn("RTPVersion", RTPVersion, RTPVersion != 2 ? "packets of RTP version 2 are refused, the bridge is deaf" : "");
  Warn("RtpBufSizeMultiple", RtpBufSizeMultiple, "");
  Warn("ReceivePayloadTime", ReceivePayloadTime, "");
  Warn("ReceiveBufCount", ReceiveBufCount, "");
  Warn("SendPayloadTime", SendPayloadTime, "");
  Warn("SendBufCount", SendBufCount, SendBufCount == 0 ? "no packet is ever sent, the microphone is mute" : "");
  Warn("MaxRecvSequenceNumberInterval", MaxRecvSequenceNumberInterval,
       MaxRecvSequenceNumberInterval == 0 ? "packets that follow in sequence are refused, received audio is lost" : "");
  return Lines;
}
