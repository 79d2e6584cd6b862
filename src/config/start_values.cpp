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
// Defined here, before the defaults below are set at start-up.
TReceiveSettings ReceiveSettings;

std::string ConfigFileName = Platform::ChangeFileExt(Platform::ExePath(), ".ini");

const std::vector<std::string> DefaultConfigFiles = {"Brenvic.ini"};

void ResetStartValues() {
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
  ReceiveSettings = {};
}

namespace {
struct TDefaultsAtStart {
  TDefaultsAtStart() { ResetStartValues(); }
} DefaultsAtStart;

void WriteMissingDefaultFiles(const std::string& ExeDir) {
  for (const std::string& Name : DefaultConfigFiles) {
    const std::string Path = ExeDir + Name;
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
  WriteMissingDefaultFiles(ExeDir);

  const TIniFile Ini(ConfigFile);
  const std::string S = "Options";
  // Each read keeps the current value as its default; whole numbers are cut to
  // the width of their setting.
  DoLog = Ini.ReadBool(S, "DoLog", DoLog);
  SaveWavData = Ini.ReadBool(S, "SaveWavData", SaveWavData);
  LocalIP = Ini.ReadString(S, "LocalIP", LocalIP);
  LocalPort = static_cast<uint16_t>(Ini.ReadInteger(S, "LocalPort", LocalPort));
  RemoteIP = Ini.ReadString(S, "RemoteIP", RemoteIP);
  RemotePort = static_cast<uint16_t>(Ini.ReadInteger(S, "RemotePort", RemotePort));
  TCPServerListenIP = Ini.ReadString(S, "TCPServerListenIP", TCPServerListenIP);
  TCPServerListenPort = static_cast<uint16_t>(Ini.ReadInteger(S, "TCPServerListenPort", TCPServerListenPort));
  StartAsClient = Ini.ReadBool(S, "StartAsClient", StartAsClient);
  DisconnectTimeOut = Ini.ReadInteger(S, "DisconnectTimeOut", DisconnectTimeOut);
  PayloadType = static_cast<uint8_t>(Ini.ReadInteger(S, "PayloadType", PayloadType));
  RTPVersion = static_cast<uint8_t>(Ini.ReadInteger(S, "RTPVersion", RTPVersion));
  RtpBufSizeMultiple = static_cast<uint8_t>(Ini.ReadInteger(S, "RtpBufSizeMultiple", RtpBufSizeMultiple));
  ReceivePayloadTime = static_cast<uint16_t>(Ini.ReadInteger(S, "ReceivePayloadTime", ReceivePayloadTime));
  ReceiveBufCount = static_cast<uint16_t>(Ini.ReadInteger(S, "ReceiveBufCount", ReceiveBufCount));
  SendPayloadTime = static_cast<uint16_t>(Ini.ReadInteger(S, "SendPayloadTime", SendPayloadTime));
  SendBufCount = static_cast<uint16_t>(Ini.ReadInteger(S, "SendBufCount", SendBufCount));
  RecDeviceID = Ini.ReadString(S, "RecDeviceID", RecDeviceID);
  PlayDeviceID = Ini.ReadString(S, "PlayDeviceID", PlayDeviceID);
  NeedMeasure = Ini.ReadBool(S, "NeedMeasure", NeedMeasure);
  MaxRecvSequenceNumberInterval = static_cast<uint16_t>(
      Ini.ReadInteger(S, "MaxRecvSequenceNumberInterval", MaxRecvSequenceNumberInterval));
  ReceiveSettings = ReadReceiveSettings(Ini);
}

void LoadStartValues() { LoadStartValuesFrom(Platform::ExeDir(), ConfigFileName); }
