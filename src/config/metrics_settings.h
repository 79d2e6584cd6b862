#pragma once
// Section [Metrics] of the configuration file: where the monitoring endpoint
// listens, and whom it serves. Listen absent or empty: no endpoint.
//
//   [Metrics]
//   Listen=127.0.0.1:9464
//   Allow=10.1.0.0/16,::1

#include <string>

struct TMetricsSettings {
  std::string Listen;  // HOST:PORT
  std::string Allow;   // the sources served, addresses and networks as in [Access]; empty: anyone
};

TMetricsSettings ReadMetricsSettings(const std::string& ConfigFile);
