#pragma once
// The Prometheus text exposition format (version 0.0.4): metric families with
// their HELP and TYPE lines, then their samples, labels escaped.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A histogram's counts by fixed upper bounds, kept by whoever observes the
// values (without allocating) and written out by TPrometheusText::Histogram.
template <size_t N>
struct THistogramCounts {
  std::array<uint64_t, N + 1> Buckets{};  // [I]: above Bounds[I - 1], up to Bounds[I]; [N]: above the last
  double Sum = 0;
  uint64_t Count = 0;

  void Observe(double Value, const std::array<double, N>& Bounds) {
    if (!std::isfinite(Value)) return;
    size_t I = 0;
    while (I < N && Value > Bounds[I]) ++I;
    ++Buckets[I];
    Sum += Value;
    ++Count;
  }
};

class TPrometheusText {
public:
  using TLabels = std::vector<std::pair<std::string, std::string>>;
  static constexpr const char* ContentType = "text/plain; version=0.0.4; charset=utf-8";

  // Starts a family: Type is "counter", "gauge" or "histogram".
  void Family(const std::string& Name, const char* Type, const std::string& Help);
  void Sample(const std::string& Name, uint64_t Value, const TLabels& Labels = {});
  void Sample(const std::string& Name, double Value, const TLabels& Labels = {});
  // A family of one sample.
  void Counter(const std::string& Name, const std::string& Help, uint64_t Value);
  void Gauge(const std::string& Name, const std::string& Help, double Value);
  // A histogram family: its cumulative buckets (le, then +Inf), sum and count.
  template <size_t N>
  void Histogram(const std::string& Name, const std::string& Help, const std::array<double, N>& Bounds,
                 const THistogramCounts<N>& Counts) {
    Histogram(Name, Help, Bounds.data(), Counts.Buckets.data(), N, Counts.Sum, Counts.Count);
  }

  const std::string& Text() const { return FText; }

private:
  void Series(const std::string& Name, const TLabels& Labels);
  void Histogram(const std::string& Name, const std::string& Help, const double* Bounds, const uint64_t* Buckets,
                 size_t N, double Sum, uint64_t Count);
  std::string FText;
};
