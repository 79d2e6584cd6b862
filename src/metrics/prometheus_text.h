#pragma once
// The Prometheus text exposition format (version 0.0.4): metric families with
// their HELP and TYPE lines, then their samples, labels escaped.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TPrometheusText {
public:
  using TLabels = std::vector<std::pair<std::string, std::string>>;
  static constexpr const char* ContentType = "text/plain; version=0.0.4; charset=utf-8";

  // Starts a family: Type is "counter" or "gauge".
  void Family(const std::string& Name, const char* Type, const std::string& Help);
  void Sample(const std::string& Name, uint64_t Value, const TLabels& Labels = {});
  void Sample(const std::string& Name, double Value, const TLabels& Labels = {});
  // A family of one sample.
  void Counter(const std::string& Name, const std::string& Help, uint64_t Value);
  void Gauge(const std::string& Name, const std::string& Help, double Value);

  const std::string& Text() const { return FText; }

private:
  void Series(const std::string& Name, const TLabels& Labels);
  std::string FText;
};
