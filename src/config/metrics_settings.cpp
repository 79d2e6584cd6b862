#include "config/metrics_settings.h"

#include "config/ini_file.h"

TMetricsSettings ReadMetricsSettings(const std::string& ConfigFile) {
  const TIniFile Ini(ConfigFile);
  return {Ini.ReadString("Metrics", "Listen", ""), Ini.ReadString("Metrics", "Allow", "")};
}
