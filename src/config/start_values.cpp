#include "config/start_values.h"

#include "config/ini_file.h"
#include "config/quality_settings.h"
#include "config/receive_settings.h"
#include "config/rtcp_settings.h"
#include "config/srtp_settings.h"
#include "platform/files.h"
#include "platform/machine.h"
#include "platform/paths.h"
#include "platform/resources.h"

bool DoLog;
TStartValues StartValues;

std::string ConfigFileName = Platform::ChangeFileExt(Platform::ExePath(), ".ini");

const std::vector<std::string> DefaultConfigFiles = {"Brenvic.ini"};

namespace {
// What the load saw, for CheckStartValues. The numbers read that did not fit
// their setting's width: key and the number as it stood in the file.
std::vector<std::pair<std::string, int32_t>> CutValues;
// The values that were there but no number, each as its line.
std::vector<std::string> NotNumbers;
// The file read and the mark it began with.
std::string LoadedConfigFile;
TByteOrderMark LoadedMark = TByteOrderMark::None;

}  // namespace

void ResetStartValues() {
  CutValues.clear();
  NotNumbers.clear();
  LoadedConfigFile.clear();
  LoadedMark = TByteOrderMark::None;
  DoLog = false;
  StartValues = {};
}

namespace {
// A value that is no number is read as the current value, as the reading rules
// say, but not silently.
int32_t ReadNumber(const TIniFile& Ini, const std::string& Section, const std::string& Key, int32_t Current) {
  const std::string Text = Ini.NotANumber(Section, Key);
  if (!Text.empty())
    NotNumbers.push_back("Warning: " + (Section == "Options" ? "" : "[" + Section + "] ") + Key + "=" + Text +
                         ": not a number, " + std::to_string(Current) + " is used");
  return Ini.ReadInteger(Section, Key, Current);
}

bool ReadFlag(const TIniFile& Ini, const std::string& Section, const std::string& Key, bool Current) {
  return ReadNumber(Ini, Section, Key, Current ? 1 : 0) != 0;
}

template <typename T>
T ReadCut(const TIniFile& Ini, const std::string& Section, const std::string& Key, T Current) {
  const int32_t Raw = ReadNumber(Ini, Section, Key, Current);
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
  NotNumbers.clear();
  LoadedConfigFile = ConfigFile;
  LoadedMark = Ini.ByteOrderMark();
  // Each read keeps the current value as its default; whole numbers are cut to
  // the width of their setting.
  DoLog = ReadFlag(Ini, S, "DoLog", DoLog);
  StartValues.SaveWavData = ReadFlag(Ini, S, "SaveWavData", StartValues.SaveWavData);
  StartValues.LocalIP = Ini.ReadString(S, "LocalIP", StartValues.LocalIP);
  StartValues.LocalPort = ReadCut<uint16_t>(Ini, S, "LocalPort", StartValues.LocalPort);
  StartValues.RemoteIP = Ini.ReadString(S, "RemoteIP", StartValues.RemoteIP);
  StartValues.RemotePort = ReadCut<uint16_t>(Ini, S, "RemotePort", StartValues.RemotePort);
  StartValues.TCPServerListenIP = Ini.ReadString(S, "TCPServerListenIP", StartValues.TCPServerListenIP);
  StartValues.TCPServerListenPort = ReadCut<uint16_t>(Ini, S, "TCPServerListenPort", StartValues.TCPServerListenPort);
  StartValues.StartAsClient = ReadFlag(Ini, S, "StartAsClient", StartValues.StartAsClient);
  StartValues.DisconnectTimeOut = ReadNumber(Ini, S, "DisconnectTimeOut", StartValues.DisconnectTimeOut);
  StartValues.PayloadType = ReadCut<uint8_t>(Ini, S, "PayloadType", StartValues.PayloadType);
  StartValues.RTPVersion = ReadCut<uint8_t>(Ini, S, "RTPVersion", StartValues.RTPVersion);
  StartValues.RtpBufSizeMultiple = ReadCut<uint8_t>(Ini, S, "RtpBufSizeMultiple", StartValues.RtpBufSizeMultiple);
  StartValues.ReceivePayloadTime = ReadCut<uint16_t>(Ini, S, "ReceivePayloadTime", StartValues.ReceivePayloadTime);
  StartValues.ReceiveBufCount = ReadCut<uint16_t>(Ini, S, "ReceiveBufCount", StartValues.ReceiveBufCount);
  StartValues.SendPayloadTime = ReadCut<uint16_t>(Ini, S, "SendPayloadTime", StartValues.SendPayloadTime);
  StartValues.SendBufCount = ReadCut<uint16_t>(Ini, S, "SendBufCount", StartValues.SendBufCount);
  StartValues.RecDeviceID = Ini.ReadString(S, "RecDeviceID", StartValues.RecDeviceID);
  StartValues.PlayDeviceID = Ini.ReadString(S, "PlayDeviceID", StartValues.PlayDeviceID);
  StartValues.NeedMeasure = ReadFlag(Ini, S, "NeedMeasure", StartValues.NeedMeasure);
  StartValues.MaxRecvSequenceNumberInterval = ReadCut<uint16_t>(Ini, S, "MaxRecvSequenceNumberInterval", StartValues.MaxRecvSequenceNumberInterval);

  StartValues.LogKeepDays = ReadNumber(Ini, "Logs", "KeepDays", StartValues.LogKeepDays);
  StartValues.Receive = ReadReceiveSettings(Ini);
  StartValues.Quality = ReadQualitySettings(Ini);
  StartValues.Rtcp = ReadRtcpSettings(Ini, InstallationCname(Platform::MachineIdentity(), ExeDir));
  StartValues.Srtp = ReadSrtpSettings(Ini, Platform::ExtractFileDir(ConfigFile));
}

void LoadStartValues() { LoadStartValuesFrom(Platform::ExeDir(), ConfigFileName); }

namespace {
// The number a key held in the file when it did not fit its setting.
const int32_t* CutFrom(const std::string& Key) {
  for (const auto& [CutKey, Raw] : CutValues)
    if (CutKey == Key) return &Raw;
  return nullptr;
}

// A setting's line in the report: a warning or a refusal with what follows
// from the value, and the number as it stood in the file where it did not fit.
class TSettingLines {
public:
  explicit TSettingLines(TStartValueReport& Report) : R(Report) {}

  void Warn(const std::string& Key, int64_t Value, const std::string& Consequence) {
    Line(false, Key, Value, Consequence);
  }
  void Refuse(const std::string& Key, int64_t Value, const std::string& Reason) { Line(true, Key, Value, Reason); }
  // A port cut to 16 bits would be some other port.
  void Port(const std::string& Key, uint16_t Value, const std::string& Consequence) {
    if (const int32_t* Raw = CutFrom(Key))
      R.Refusals.push_back("Error: " + Key + "=" + std::to_string(*Raw) + ": not a port number (1..65535)");
    else
      Warn(Key, Value, Consequence);
  }

private:
  void Line(bool Refuse, const std::string& Key, int64_t Value, std::string Consequence) {
    if (const int32_t* Raw = CutFrom(Key)) {
      Consequence =
          "does not fit, " + std::to_string(Value) + " is used" + (Consequence.empty() ? "" : "; " + Consequence);
      Value = *Raw;
    }
    if (!Consequence.empty())
      (Refuse ? R.Refusals : R.Warnings)
          .push_back((Refuse ? "Error: " : "Warning: ") + Key + "=" + std::to_string(Value) + ": " + Consequence);
  }

  TStartValueReport& R;
};

// What the file's text itself calls for: its byte-order mark, the values that were no number.
void CheckFileText(TStartValueReport& R) {
  if (LoadedMark == TByteOrderMark::Utf8)
    R.Warnings.push_back("Warning: " + LoadedConfigFile + ": UTF-8 byte-order mark skipped");
  if (LoadedMark == TByteOrderMark::Utf16)
    R.Refusals.push_back("Error: " + LoadedConfigFile + ": UTF-16 text, save it as ANSI or UTF-8");
  R.Warnings.insert(R.Warnings.end(), NotNumbers.begin(), NotNumbers.end());
}

void CheckPayloadType(TSettingLines& L) {
  // Static types name their codec: any but 8 mislabels the A-law audio. The
  // session sends 8 for a value that is no payload type.
  if (StartValues.PayloadType < 96 && StartValues.PayloadType != 8)
    L.Refuse("PayloadType", StartValues.PayloadType, "labels the A-law audio as another codec (only 8 or 96..127)");
  else if (StartValues.PayloadType >= 128)
    L.Warn("PayloadType", StartValues.PayloadType, "not a payload type, 8 is sent");
  else if (StartValues.PayloadType >= 96)
    L.Warn("PayloadType", StartValues.PayloadType, "a dynamic type, the peer must know it as PCMA/8000");
  else
    L.Warn("PayloadType", StartValues.PayloadType, "");
}
}  // namespace

TStartValueReport CheckStartValues(uint32_t SendPacketBytes, uint32_t SendPacketLimit) {
  TStartValueReport R;
  CheckFileText(R);
  TSettingLines L(R);
  // In the order of the file's keys.
  L.Port("LocalPort", StartValues.LocalPort,
         StartValues.LocalPort == 0 && !StartValues.StartAsClient ? "the system picks a port that no peer knows, the bridge is deaf" : "");
  L.Port("RemotePort", StartValues.RemotePort, "");
  L.Port("TCPServerListenPort", StartValues.TCPServerListenPort, "");
  if (StartValues.DisconnectTimeOut < 0)
    L.Warn("DisconnectTimeOut", StartValues.DisconnectTimeOut, "a peer that falls silent is never dropped");
  else if (StartValues.DisconnectTimeOut == 0)
    L.Warn("DisconnectTimeOut", StartValues.DisconnectTimeOut, "every peer is dropped at each check, received audio is lost");
  CheckPayloadType(L);
  if (StartValues.Srtp.On && StartValues.RTPVersion != 2)
    L.Refuse("RTPVersion", StartValues.RTPVersion, "SRTP protects RTP version 2 only, nothing would be sent");
  else
    L.Warn("RTPVersion", StartValues.RTPVersion, StartValues.RTPVersion != 2 ? "packets of RTP version 2 are refused, the bridge is deaf" : "");
  L.Warn("RtpBufSizeMultiple", StartValues.RtpBufSizeMultiple, "");
  L.Warn("ReceivePayloadTime", StartValues.ReceivePayloadTime, "");
  L.Warn("ReceiveBufCount", StartValues.ReceiveBufCount, "");
  if (SendPacketBytes > SendPacketLimit)
    L.Refuse("SendPayloadTime", StartValues.SendPayloadTime,
             "packets of " + std::to_string(SendPacketBytes) + " bytes exceed the sender's " +
                 std::to_string(SendPacketLimit));
  else
    L.Warn("SendPayloadTime", StartValues.SendPayloadTime, "");
  L.Warn("SendBufCount", StartValues.SendBufCount, StartValues.SendBufCount == 0 ? "no packet is ever sent, the microphone is mute" : "");
  L.Warn("MaxRecvSequenceNumberInterval", StartValues.MaxRecvSequenceNumberInterval,
         StartValues.MaxRecvSequenceNumberInterval == 0 ? "packets that follow in sequence are refused, received audio is lost"
                                            : "");
  // A key that is wrong stops the start: never plain RTP in its place.
  R.Refusals.insert(R.Refusals.end(), StartValues.Srtp.Refusals.begin(), StartValues.Srtp.Refusals.end());
  return R;
}
