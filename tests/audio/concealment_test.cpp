#include "audio/concealment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

std::vector<int16_t> Sine(size_t N, double PeriodSamples, double Amplitude, size_t Offset = 0) {
  std::vector<int16_t> S(N);
  for (size_t I = 0; I < N; ++I)
    S[I] = static_cast<int16_t>(std::lround(Amplitude * std::sin(2 * std::numbers::pi * static_cast<double>(I + Offset) / PeriodSamples)));
  return S;
}

double Energy(const int16_t* S, size_t N) {
  double E = 0;
  for (size_t I = 0; I < N; ++I) E += static_cast<double>(S[I]) * S[I];
  return E;
}

// Signal to noise of Got against Want, in dB.
double Snr(const int16_t* Want, const int16_t* Got, size_t N) {
  double Noise = 0;
  for (size_t I = 0; I < N; ++I) Noise += (static_cast<double>(Want[I]) - Got[I]) * (static_cast<double>(Want[I]) - Got[I]);
  return 10 * std::log10(Energy(Want, N) / std::max(Noise, 1.0));
}

TEST(Concealment, FindsThePitchOfAPeriodicSignal) {
  for (double Period : {45.0, 57.0, 80.0, 111.0}) {
    const auto S = Sine(400, Period, 8000);
    EXPECT_NEAR(TConcealer::FindPitch(S.data(), S.size(), 160, 40, 120), Period, 1.0) << Period;
  }
}

TEST(Concealment, ALossContinuesTheWaveformThenFadesToSilence) {
  // 200 ms of a 160 Hz tone heard, then 80 ms lost.
  const auto Whole = Sine(1600 + 640, 50, 10000);
  TConcealer C;
  std::vector<int16_t> Out(1600);
  C.Good(Whole.data(), Out.data(), 1600);
  EXPECT_EQ(Out, std::vector<int16_t>(Whole.begin(), Whole.begin() + 1600)) << "real samples pass unchanged";

  std::vector<int16_t> Made(640);
  C.Conceal(Made.data(), 160);
  C.Conceal(Made.data() + 160, 480);
  // The first 10 ms is the waveform itself, not silence and not a jump.
  EXPECT_GT(Snr(Whole.data() + 1600, Made.data(), 80), 30.0);
  // 10 to 20 ms: still the tone, fading.
  EXPECT_GT(Snr(Whole.data() + 1680, Made.data() + 80, 80), 6.0);
  EXPECT_LT(Energy(Made.data() + 80, 80), Energy(Whole.data() + 1680, 80));
  // Each 10 ms quieter than the one before until 60 ms; silent after.
  for (int Block = 2; Block < 6; ++Block)
    EXPECT_LT(Energy(Made.data() + Block * 80, 80), Energy(Made.data() + (Block - 1) * 80, 80)) << Block;
  EXPECT_EQ(Energy(Made.data() + 480, 160), 0.0);
  EXPECT_EQ(C.ErasedSamples(), 640);
}

TEST(Concealment, ShortHistoryGivesSilenceNotGarbage) {
  TConcealer C;
  const auto S = Sine(100, 50, 10000);
  std::vector<int16_t> Out(100), Made(160, 1);
  C.Good(S.data(), Out.data(), 100);
  C.Conceal(Made.data(), 160);
  EXPECT_EQ(Energy(Made.data(), 160), 0.0);
}

TEST(Concealment, RealAudioAfterALossIsCrossFadedNotSwitched) {
  const auto Whole = Sine(1600 + 320, 50, 10000);
  TConcealer C;
  std::vector<int16_t> Out(1600), Made(160), After(160);
  C.Good(Whole.data(), Out.data(), 1600);
  C.Conceal(Made.data(), 160);
  // The real audio comes back with the opposite sign: the first samples still
  // lean towards the made-up continuation, the later ones are the real ones.
  std::vector<int16_t> Inverted(160);
  for (size_t I = 0; I < 160; ++I) Inverted[I] = static_cast<int16_t>(-Whole[1760 + I]);
  C.Good(Inverted.data(), After.data(), 160);
  EXPECT_LT(std::abs(After[0] - Whole[1760]), std::abs(After[0] - Inverted[0]));
  for (size_t I = 80; I < 160; ++I) EXPECT_EQ(After[I], Inverted[I]) << I;
  EXPECT_EQ(C.ErasedSamples(), 0);
}

TEST(Concealment, AStretchLeadingIntoKnownAudioEndsInItsWaveformAndLeavesItWhole) {
  // Heard: a tone of period 50. After the loss: a tone of period 40 in another
  // phase. The stretch ends in the new tone run backwards, without a seam.
  const auto Heard = Sine(1600, 50, 10000);
  const auto Next = Sine(160, 40, 8000, 13);
  struct TCase {
    const char* Name;
    std::vector<size_t> Pieces;  // the stretch made up in these parts
  };
  std::vector<int16_t> First;
  for (const TCase& C : {TCase{"in one go", {160}}, TCase{"in three parts", {50, 70, 40}}}) {
    SCOPED_TRACE(C.Name);
    TConcealer T;
    std::vector<int16_t> Out(1600), Made(160), After(160);
    T.Good(Heard.data(), Out.data(), 1600);
    size_t Done = 0;
    for (size_t N : C.Pieces) {
      T.Towards(Made.data() + Done, N, 160 - Done, Next.data(), Next.size());
      Done += N;
    }
    if (First.empty()) First = Made;
    EXPECT_EQ(Made, First) << "the parts make the same stretch";
    // Early on, the continuation of what was heard.
    const auto Continued = Sine(40, 50, 10000, 1600);
    EXPECT_GT(Snr(Continued.data(), Made.data(), 40), 20.0);
    // At its end, the new tone's own waveform: the sample before it and the
    // last period.
    const auto Before = Sine(40, 40, 8000, 13 + 160 - 40);
    EXPECT_GT(Snr(Before.data() + 36, Made.data() + 156, 4), 12.0);
    EXPECT_EQ(T.ErasedSamples(), 0);
    T.Good(Next.data(), After.data(), 160);
    EXPECT_EQ(After, Next) << "the real audio plays as it came";
  }
  // Nothing known of what follows: a plain continuation, and the real audio is
  // cross-faded into when it comes.
  TConcealer T;
  std::vector<int16_t> Out(1600), Made(160), Plain(160);
  T.Good(Heard.data(), Out.data(), 1600);
  TConcealer U = T;
  T.Towards(Made.data(), 160, 320, Next.data(), 0);
  U.Conceal(Plain.data(), 160);
  EXPECT_EQ(Made, Plain);
  EXPECT_GT(T.ErasedSamples(), 0);
}

TEST(Concealment, TimeScaleStepsDropOrRepeatOnePeriodSmoothly) {
  // A tone of period 40: dropping or repeating whole periods leaves it intact.
  const auto S = Sine(400, 40, 12000);
  std::vector<int16_t> Out(160);
  const int A = TimeScaleAccelerate(S.data(), 240, Out.data(), 160);
  ASSERT_GT(A, 0);
  EXPECT_EQ(A % 40, 0);
  EXPECT_GT(Snr(S.data(), Out.data(), 160), 30.0);
  const int B = TimeScaleStretch(S.data(), 160, Out.data(), 160);
  ASSERT_GT(B, 0);
  EXPECT_EQ(B % 40, 0);
  EXPECT_GT(Snr(S.data(), Out.data(), 160), 30.0);
  // Too little input: nothing happens.
  EXPECT_EQ(TimeScaleAccelerate(S.data(), 200, Out.data(), 160), 0);
  EXPECT_EQ(TimeScaleStretch(S.data(), 100, Out.data(), 160), 0);
}

}  // namespace
