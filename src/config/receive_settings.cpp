#include "config/receive_settings.h"

#include <algorithm>

#include "config/ini_file.h"
#include "platform/text.h"

TReceiveSettings ReadReceiveSettings(const TIniFile& Ini) {
  const std::string S = "Receive";
  TReceiveSettings R;
  const std::string Mode = Platform::AsciiLower(Ini.ReadString(S, "Mode", "fixed"));
  if (Mode == "adaptive") {
    R.Mode = TReceiveMode::Adaptive;
  } else if (Mode != "fixed") {
    R.Problems.push_back("[Receive] Mode=" + Mode + " is neither fixed nor adaptive; fixed is used");
  }
  auto ReadMs = [&](const char* Key, uint32_t Default, uint32_t Lowest, uint32_t Highest) {
    const int32_t V = Ini.ReadInteger(S, Key, static_cast<int32_t>(Default));
    if (V < static_cast<int32_t>(Lowest) || V > static_cast<int32_t>(Highest)) {
      const uint32_t Taken = V < static_cast<int32_t>(Lowest) ? Lowest : Highest;
      R.Problems.push_back("[Receive] " + std::string(Key) + "=" + std::to_string(V) + " is outside " +
                           std::to_string(Lowest) + ".." + std::to_string(Highest) + "; " + std::to_string(Taken) +
                           " is used");
      return Taken;
    }
    return static_cast<uint32_t>(V);
  };
  R.MinDelayMs = ReadMs("MinDelayMs", R.MinDelayMs, 0, TReceiveSettings::HighestMinDelayMs);
  R.MaxDelayMs = ReadMs("MaxDelayMs", std::max(R.MaxDelayMs, R.MinDelayMs), R.MinDelayMs,
                        TReceiveSettings::HighestMaxDelayMs);
  return R;
}
