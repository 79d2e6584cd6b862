#pragma once
// Section [Metrics] of the configuration file: where the monitoring endpoint
// listens. Absent or empty: no endpoint.

#include <string>

struct TMetricsSettings {
  std::string Listen;  // HOST:PORT
};

TMetricsSettings ReadMetricsSettings(const std::string& ConfigFile);
