#pragma once
// Benchmark results as ratios to a baseline measured in the same run, so that
// figures from a busy or a different machine can still be compared; and, for
// a case that adds work to another, its cost as a ratio to that one.
//
//   int main(int argc, char** argv) { return BenchRatio::Main(argc, argv, "BM_Baseline"); }

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace BenchRatio {

// Nanoseconds in one of Google Benchmark's time units.
inline double NsPerUnit(benchmark::TimeUnit U) {
  switch (U) {
    case benchmark::kNanosecond: return 1;
    case benchmark::kMicrosecond: return 1e3;
    case benchmark::kMillisecond: return 1e6;
    default: return 1e9;
  }
}

// A case and the case it adds to: "BM_WithStats" against "BM_Without".
using TPairs = std::vector<std::pair<std::string, std::string>>;

class TRatioReporter : public benchmark::ConsoleReporter {
public:
  explicit TRatioReporter(std::string Baseline, TPairs Pairs = {})
      : FBaseline(std::move(Baseline)), FPairs(std::move(Pairs)) {}

  void ReportRuns(const std::vector<Run>& Runs) override {
    ConsoleReporter::ReportRuns(Runs);
    for (const Run& R : Runs)
      if (R.run_type == Run::RT_Iteration && !R.error_occurred)
        FResults.emplace_back(R.benchmark_name(), R.GetAdjustedCPUTime() * Scale(R.time_unit));
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    double Base = 0;
    for (const auto& [Name, Ns] : FResults)
      if (Name == FBaseline) Base = Ns;
    std::printf("\n%-40s %12s %10s\n", "benchmark", "ns (CPU)", "x baseline");
    for (const auto& [Name, Ns] : FResults)
      std::printf("%-40s %12.1f %10.2f\n", Name.c_str(), Ns, Base > 0 ? Ns / Base : 0.0);
    for (const auto& [Case, Against] : FPairs) {
      const double A = Find(Case), B = Find(Against);
      if (A > 0 && B > 0) std::printf("%s / %s: %.3f\n", Case.c_str(), Against.c_str(), A / B);
    }
    std::fflush(stdout);
  }

private:
  static double Scale(benchmark::TimeUnit U) { return NsPerUnit(U); }

  double Find(const std::string& Name) const {
    for (const auto& [N, Ns] : FResults)
      if (N == Name) return Ns;
    return 0;
  }

  std::string FBaseline;
  TPairs FPairs;
  std::vector<std::pair<std::string, double>> FResults;
};

inline int Main(int argc, char** argv, const std::string& Baseline, TPairs Pairs = {}) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TRatioReporter Reporter(Baseline, std::move(Pairs));
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace BenchRatio
