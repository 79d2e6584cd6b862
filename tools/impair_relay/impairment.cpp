#include "impairment.h"

#include <cmath>
#include <numbers>
#include <cstdlib>
#include <map>

bool TImpairSettings::Parse(const std::vector<std::string>& Args, std::string& Error) {
  const std::map<std::string, double*> Numbers = {
      {"--delay", &DelayMs},        {"--jitter", &JitterMs},     {"--loss", &Loss},
      {"--ge-p", &GoodToBad},       {"--ge-r", &BadToGood},      {"--ge-h", &LossInBad},
      {"--reorder", &Reorder},      {"--reorder-ms", &ReorderMs}, {"--duplicate", &Duplicate},
      {"--burst-ms", &BurstMs},     {"--rate-offset", &RateOffset},
  };
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (A == "--long-tail") {
      LongTailed = true;
      continue;
    }
    if (I + 1 >= Args.size()) {
      Error = A + " needs a value";
      return false;
    }
    const std::string& V = Args[++I];
    char* End = nullptr;
    const double X = std::strtod(V.c_str(), &End);
    if (End == V.c_str() || *End != '\0' || !std::isfinite(X)) {
      Error = A + " " + V + ": not a number";
      return false;
    }
    if (A == "--seed") {
      Seed = static_cast<uint32_t>(X);
    } else if (auto It = Numbers.find(A); It != Numbers.end()) {
      *It->second = X;
    } else {
      Error = "unknown option " + A;
      return false;
    }
  }
  return true;
}

const char* TImpairSettings::Usage() {
  return "  --delay MS          fixed delay\n"
         "  --jitter MS         extra delay per datagram: |normal(0, MS)|, or with --long-tail\n"
         "                      a Pareto law of the same scale (rare delays of many times MS)\n"
         "  --loss P            random loss\n"
         "  --ge-p P --ge-r R   Gilbert-Elliott bursty loss: good->bad P, bad->good R per datagram\n"
         "  --ge-h H            loss probability in the bad state (1)\n"
         "  --reorder P         a datagram is held back --reorder-ms (40) with probability P\n"
         "  --duplicate P       a second copy 1 ms later with probability P\n"
         "  --burst-ms MS       datagrams leave together at multiples of MS (bursts)\n"
         "  --rate-offset F     the way out runs F slower (0.001 = 0.1 %; negative: faster)\n"
         "  --seed N            random seed (1)\n";
}

TImpairment::TImpairment(const TImpairSettings& Settings) : FSettings(Settings), FRandom(Settings.Seed) {}

std::vector<double> TImpairment::Schedule(double ArrivalMs) {
  ++FCounters.In;
  // Every draw is made for every datagram, whatever the outcome, so that one
  // setting does not shift the random sequence of the others.
  const double StateDraw = Uniform(), LossDraw = Uniform(), GoodLossDraw = Uniform();
  const double ReorderDraw = Uniform(), DuplicateDraw = Uniform();
  const double JitterDraw = std::max(Uniform(), 1e-12), JitterDraw2 = Uniform();

  FBad = FBad ? StateDraw >= FSettings.BadToGood : StateDraw < FSettings.GoodToBad;
  const bool Lost = (FBad && LossDraw < FSettings.LossInBad) || GoodLossDraw < FSettings.Loss;
  if (Lost) {
    ++FCounters.Lost;
    return {};
  }
  double Jitter = 0;
  if (FSettings.JitterMs > 0) {
    if (FSettings.LongTailed) {
      // Pareto with shape 2.5, shifted to start at 0, scaled to the setting.
      Jitter = FSettings.JitterMs * (std::pow(JitterDraw, -1.0 / 2.5) - 1.0);
    } else {
      // Box-Muller, folded: a delay is never negative.
      Jitter = FSettings.JitterMs * std::abs(std::sqrt(-2.0 * std::log(JitterDraw)) * std::cos(2 * std::numbers::pi * JitterDraw2));
    }
  }
  double Out = ArrivalMs * (1.0 + FSettings.RateOffset) + FSettings.DelayMs + Jitter;
  if (ReorderDraw < FSettings.Reorder) {
    Out += FSettings.ReorderMs;
    ++FCounters.Reordered;
  }
  if (FSettings.BurstMs > 0) Out = std::ceil(Out / FSettings.BurstMs) * FSettings.BurstMs;
  std::vector<double> Times{Out};
  if (DuplicateDraw < FSettings.Duplicate) {
    Times.push_back(Out + 1);
    ++FCounters.Duplicated;
  }
  return Times;
}
