#pragma once
// The network the impairment relay plays: for each datagram that comes in, when
// its copies (none, one or two) go out. Seeded, so that the same datagrams in
// the same order meet the same fate on every run.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct TImpairSettings {
  double DelayMs = 0;        // fixed delay
  double JitterMs = 0;       // scale of the extra delay of each datagram
  bool LongTailed = false;   // jitter from a Pareto law (rare long delays) instead of a half-normal one
  double Loss = 0;           // probability of a loss in the good state (plain random loss)
  // Gilbert-Elliott: good -> bad with GoodToBad per datagram, bad -> good with
  // BadToGood, and a loss in the bad state with LossInBad.
  double GoodToBad = 0;
  double BadToGood = 1;
  double LossInBad = 1;
  double Reorder = 0;        // probability that a datagram is held back ReorderMs
  double ReorderMs = 40;
  double Duplicate = 0;      // probability of a second copy, 1 ms after the first
  double BurstMs = 0;        // datagrams are held and let go together at multiples of this
  double RateOffset = 0;     // the way out runs on a clock this much slower (0.001: 0.1 %)
  uint32_t Seed = 1;

  // Reads "--name value" pairs; false with a message for anything unknown.
  bool Parse(const std::vector<std::string>& Args, std::string& Error);
  static const char* Usage();
};

struct TImpairCounters {
  uint64_t In = 0, Lost = 0, Duplicated = 0, Reordered = 0;
};

class TImpairment {
public:
  explicit TImpairment(const TImpairSettings& Settings);
  // Departure times (ms on the relay's clock) for a datagram arriving at ArrivalMs.
  std::vector<double> Schedule(double ArrivalMs);
  const TImpairCounters& Counters() const { return FCounters; }

private:
  double Uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(FRandom); }

  const TImpairSettings FSettings;
  std::mt19937 FRandom;
  bool FBad = false;
  TImpairCounters FCounters;
};
