#include "impairment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

// The departures of N datagrams arriving every 20 ms.
std::vector<std::vector<double>> Departures(const TImpairSettings& S, int N = 20000) {
  TImpairment M(S);
  std::vector<std::vector<double>> Out;
  for (int K = 0; K < N; ++K) Out.push_back(M.Schedule(20.0 * K));
  return Out;
}

double Share(const std::vector<std::vector<double>>& Out, size_t Copies) {
  return static_cast<double>(std::count_if(Out.begin(), Out.end(), [&](const auto& D) { return D.size() == Copies; })) /
         static_cast<double>(Out.size());
}

TEST(Impairment, SameSeedSameFateOtherSeedOtherFate) {
  TImpairSettings S;
  S.JitterMs = 30;
  S.Loss = 0.05;
  S.Duplicate = 0.05;
  EXPECT_EQ(Departures(S), Departures(S));
  TImpairSettings T = S;
  T.Seed = 2;
  EXPECT_NE(Departures(S), Departures(T));
  // Switching one impairment on does not change the others' draws.
  TImpairSettings U = S;
  U.Reorder = 0.5;
  const auto A = Departures(S), B = Departures(U);
  for (size_t I = 0; I < A.size(); ++I) EXPECT_EQ(A[I].empty(), B[I].empty()) << I;
}

TEST(Impairment, RatesAndShapesByScenario) {
  struct TCase {
    const char* Name;
    TImpairSettings S;
    double Lost, Duplicated;  // expected shares
    double MeanLossRun;       // expected mean length of a run of losses (0: not checked)
  };
  TImpairSettings Random, Ge, Dup;
  Random.Loss = 0.03;
  Ge.GoodToBad = 0.01;
  Ge.BadToGood = 0.3;  // 1 / 0.3: runs of 3.3 on average, 3.2 % of the time
  Dup.Duplicate = 0.02;
  const TCase Cases[] = {
      {"random loss", Random, 0.03, 0, 1.03},
      {"Gilbert-Elliott", Ge, 0.01 / 0.31, 0, 1 / 0.3},
      {"duplicates", Dup, 0, 0.02, 0},
      {"clean", TImpairSettings{}, 0, 0, 0},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const auto Out = Departures(C.S, 200000);
    EXPECT_NEAR(Share(Out, 0), C.Lost, 0.004);
    EXPECT_NEAR(Share(Out, 2), C.Duplicated, 0.003);
    if (C.MeanLossRun > 0) {
      int Runs = 0, Lost = 0;
      for (size_t I = 0; I < Out.size(); ++I)
        if (Out[I].empty()) {
          ++Lost;
          Runs += I == 0 || !Out[I - 1].empty();
        }
      EXPECT_NEAR(static_cast<double>(Lost) / Runs, C.MeanLossRun, 0.25);
    }
  }
}

TEST(Impairment, DelaysJitterBurstsReorderingAndRate) {
  TImpairSettings Fixed;
  Fixed.DelayMs = 50;
  for (const auto& D : Departures(Fixed, 100)) ASSERT_EQ(D.size(), 1u);
  const auto F = Departures(Fixed, 100);
  for (int K = 0; K < 100; ++K) EXPECT_DOUBLE_EQ(F[static_cast<size_t>(K)][0], 20.0 * K + 50);

  // Jitter: never early; half-normal of scale 30 has a mean of 30 * sqrt(2 / pi).
  for (const bool Long : {false, true}) {
    TImpairSettings J;
    J.JitterMs = 30;
    J.LongTailed = Long;
    const auto Out = Departures(J, 100000);
    double Sum = 0, Max = 0;
    for (size_t K = 0; K < Out.size(); ++K) {
      const double Extra = Out[K][0] - 20.0 * static_cast<double>(K);
      ASSERT_GE(Extra, 0);
      Sum += Extra;
      Max = std::max(Max, Extra);
    }
    if (Long) {
      // The long tail: Pareto of shape 2.5 has a mean of 30 / 1.5 and delays far beyond.
      EXPECT_NEAR(Sum / 100000, 20, 1.0);
      EXPECT_GT(Max, 1000);
    } else {
      EXPECT_NEAR(Sum / 100000, 30 * std::sqrt(2 / std::numbers::pi), 0.5);
    }
  }

  TImpairSettings Burst;
  Burst.BurstMs = 100;
  const auto B = Departures(Burst, 100);
  for (int K = 0; K < 100; ++K) {
    const double T = B[static_cast<size_t>(K)][0];
    EXPECT_EQ(std::fmod(T, 100.0), 0.0);
    EXPECT_GE(T, 20.0 * K);
    EXPECT_LT(T, 20.0 * K + 100);
  }

  TImpairSettings Reorder;
  Reorder.Reorder = 0.1;
  TImpairment M(Reorder);
  int Held = 0;
  for (int K = 0; K < 1000; ++K) Held += M.Schedule(20.0 * K)[0] == 20.0 * K + 40;
  EXPECT_EQ(static_cast<uint64_t>(Held), M.Counters().Reordered);
  EXPECT_NEAR(Held, 100, 30);

  TImpairSettings Slow;
  Slow.RateOffset = 0.001;
  EXPECT_DOUBLE_EQ(Departures(Slow, 3001)[3000][0], 60000 * 1.001);
}

TEST(Impairment, OptionsAreParsedOrRefused) {
  TImpairSettings S;
  std::string Error;
  ASSERT_TRUE(S.Parse({"--delay", "20", "--jitter", "30", "--long-tail", "--ge-p", "0.01", "--ge-r", "0.3", "--seed", "9",
                       "--burst-ms", "100", "--rate-offset", "-0.001"},
                      Error));
  EXPECT_EQ(S.DelayMs, 20);
  EXPECT_EQ(S.JitterMs, 30);
  EXPECT_TRUE(S.LongTailed);
  EXPECT_EQ(S.GoodToBad, 0.01);
  EXPECT_EQ(S.BadToGood, 0.3);
  EXPECT_EQ(S.Seed, 9u);
  EXPECT_EQ(S.BurstMs, 100);
  EXPECT_EQ(S.RateOffset, -0.001);
  EXPECT_FALSE(TImpairSettings{}.Parse({"--loss"}, Error));
  EXPECT_EQ(Error, "--loss needs a value");
  EXPECT_FALSE(TImpairSettings{}.Parse({"--loss", "much"}, Error));
  EXPECT_EQ(Error, "--loss much: not a number");
  EXPECT_FALSE(TImpairSettings{}.Parse({"--colour", "1"}, Error));
  EXPECT_EQ(Error, "unknown option --colour");
}

}  // namespace
