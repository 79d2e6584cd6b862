#include "config/rtcp_settings.h"

#include <cstdio>

#include "config/ini_file.h"
#include "platform/text.h"

namespace {

// FNV-1a: a name, not a secret; 64 bits keep installations apart.
uint64_t Fnv1a(const std::string& Text, uint64_t Hash = 0xcbf29ce484222325ull) {
  for (const char C : Text) {
    Hash ^= static_cast<uint8_t>(C);
    Hash *= 0x100000001b3ull;
  }
  return Hash;
}

}  // namespace

std::string InstallationCname(const std::string& MachineIdentity, const std::string& ExeDir) {
  // The separator keeps "ab"+"c" apart from "a"+"bc".
  const uint64_t Hash = Fnv1a(ExeDir, Fnv1a(std::string(1, '\0'), Fnv1a(MachineIdentity)));
  char Text[32];
  std::snprintf(Text, sizeof Text, "brenvic-%016llx", static_cast<unsigned long long>(Hash));
  return Text;
}

TRtcpSettings ReadRtcpSettings(const TIniFile& Ini, const std::string& DefaultCname) {
  const std::string S = "Rtcp";
  TRtcpSettings R;
  const std::string Mode = Platform::AsciiLower(Ini.ReadString(S, "Mode", "off"));
  if (Mode == "mux") {
    R.Mode = TRtcpMode::Mux;
  } else if (Mode == "port") {
    R.Mode = TRtcpMode::Port;
  } else if (Mode != "off") {
    R.Problems.push_back("[Rtcp] Mode=" + Mode + " is none of off, mux and port; off is used");
  }
  const int32_t Interval = Ini.ReadInteger(S, "IntervalMs", static_cast<int32_t>(R.IntervalMs));
  if (Interval < static_cast<int32_t>(TRtcpSettings::LowestIntervalMs) ||
      Interval > static_cast<int32_t>(TRtcpSettings::HighestIntervalMs)) {
    R.Problems.push_back("[Rtcp] IntervalMs=" + std::to_string(Interval) + " is outside " +
                         std::to_string(TRtcpSettings::LowestIntervalMs) + ".." +
                         std::to_string(TRtcpSettings::HighestIntervalMs) + "; " +
                         std::to_string(TRtcpSettings::DefaultIntervalMs) + " is used");
  } else {
    R.IntervalMs = static_cast<uint32_t>(Interval);
  }
  R.Cname = Ini.ReadString(S, "Cname", "");
  // SDES carries at most 255 bytes of it.
  if (R.Cname.size() > 255) {
    R.Problems.push_back("[Rtcp] Cname is " + std::to_string(R.Cname.size()) + " bytes, more than 255; " +
                         DefaultCname + " is used");
    R.Cname.clear();
  }
  if (R.Cname.empty()) R.Cname = DefaultCname;
  return R;
}
