#include "config/access_values.h"

#include "config/ini_file.h"

TAccessValues AccessValues;

namespace {
uint32_t ReadLimit(const TIniFile& Ini, const char* Key, uint32_t Default) {
  const int32_t Value = Ini.ReadInteger("Access", Key, static_cast<int32_t>(Default));
  return Value >= 1 ? static_cast<uint32_t>(Value) : Default;
}
}  // namespace

TAccessValues ReadAccessValues(const TIniFile& Ini) {
  TAccessValues V;
  V.Peers = Ini.ReadString("Access", "Peers", "");
  V.RecordingClients = Ini.ReadString("Access", "RecordingClients", "");
  V.MaxPeers = ReadLimit(Ini, "MaxPeers", V.MaxPeers);
  V.NewPeersPerSecond = ReadLimit(Ini, "NewPeersPerSecond", V.NewPeersPerSecond);
  return V;
}

void LoadAccessValues(const std::string& ConfigFile) { AccessValues = ReadAccessValues(TIniFile(ConfigFile)); }
