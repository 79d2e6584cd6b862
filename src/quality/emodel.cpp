#include "quality/emodel.h"

#include <algorithm>
#include <cmath>

namespace {

double Sq(double X) { return X * X; }
double Db(double PowerRatio) { return 10 * std::log10(PowerRatio); }
double Power(double Db) { return std::pow(10.0, Db / 10); }

// (1 + x^n)^(1/n): the model's smooth knee.
double Knee(double X, double N) { return std::pow(1 + std::pow(X, N), 1 / N); }

// The impairment of non-optimum sidetone, from STMRo (the sidetone and the
// talker echo of a short echo path together).
double Ist(double Stmro) {
  return 12 * Knee((Stmro - 13) / 6, 8) - 28 * Knee((Stmro + 1) / 19.4, 35) - 13 * Knee((Stmro - 3) / 33, 13) + 29;
}

}  // namespace

double EModelIdd(double TaMs) {
  if (TaMs <= 100) return 0;
  const double X = std::log10(TaMs / 100) / std::log10(2.0);
  return 25 * (Knee(X, 6) - 3 * Knee(X / 3, 6) + 2);
}

double EModelIeEff(double Ie, double PplPercent, double Bpl, double BurstR) {
  return Ie + (95 - Ie) * PplPercent / (PplPercent / BurstR + Bpl);
}

double EModelMos(double R) {
  if (R < 0) return 1;
  if (R > 100) return 4.5;
  return 1 + 0.035 * R + R * (R - 60) * (100 - R) * 7e-6;
}

double EModelBurstRatio(uint64_t Packets, uint64_t Lost, uint64_t LossRuns) {
  if (Packets == 0 || Lost == 0 || LossRuns == 0) return 1;
  const double MeanRun = static_cast<double>(Lost) / static_cast<double>(LossRuns);
  // Random loss at rate L gives runs of 1 / (1 - L) on average.
  const double RandomRun = 1 / (1 - static_cast<double>(std::min(Lost, Packets)) / static_cast<double>(Packets));
  return std::max(1.0, MeanRun / RandomRun);
}

TEModelRating EModelRate(const TEModelParameters& P) {
  TEModelRating E;
  const double Olr = P.Slr + P.Rlr;

  // Basic signal-to-noise ratio: circuit noise, the room noise of both sides
  // as it reaches the line, and the receive side's noise floor.
  const double Nos = P.Ps - P.Slr - P.Ds - 100 + 0.004 * Sq(P.Ps - Olr - P.Ds - 14);
  const double Pre = P.Pr + Db(1 + Power(10 - P.Lstr));
  const double Nor = P.Rlr - 121 + Pre + 0.008 * Sq(Pre - 35);
  const double Nfo = P.Nfor + P.Rlr;
  E.No = Db(Power(P.Nc) + Power(Nos) + Power(Nor) + Power(Nfo));
  E.Ro = 15 - 1.5 * (P.Slr + E.No);

  // Simultaneous impairments: loudness, sidetone, quantizing distortion.
  const double Xolr = Olr + 0.2 * (64 + E.No - P.Rlr);
  const double Iolr = 20 * (Knee(Xolr / 8, 8) - Xolr / 8);
  const double Stmro = -Db(Power(-P.Stmr) + std::exp(-P.T / 4) * Power(-P.Telr));
  const double IstValue = Ist(Stmro);
  const double Q = 37 - 15 * std::log10(P.Qdu);
  const double G = 1.07 + 0.258 * Q + 0.0602 * Sq(Q);
  const double Y = (E.Ro - 100) / 15 + 46 / 8.4 - G / 9;
  const double Z = 46.0 / 30 - G / 40;
  const double Iq = 15 * std::log10(1 + std::pow(10.0, Y) + std::pow(10.0, Z));
  E.Is = Iolr + IstValue + Iq;

  // Talker echo. An echo path shorter than 1 ms is heard as sidetone.
  if (P.T >= 1) {
    const double Roe = -1.5 * (E.No - P.Rlr);
    double Terv = P.Telr - 40 * std::log10((1 + P.T / 10) / (1 + P.T / 150)) + 6 * std::exp(-0.3 * Sq(P.T));
    if (P.Stmr < 9) Terv += IstValue / 2;  // a low sidetone masks the echo less
    const double Re = 80 + 2.5 * (Terv - 14);
    E.Idte = ((Roe - Re) / 2 + std::sqrt(Sq(Roe - Re) / 4 + 100) - 1) * (1 - std::exp(-P.T));
  }
  // Listener echo, and the absolute delay itself.
  const double Rle = 10.5 * (P.Wepl + 7) * std::pow(P.Tr + 1, -0.25);
  E.Idle = (E.Ro - Rle) / 2 + std::sqrt(Sq(E.Ro - Rle) / 4 + 169);
  E.Idd = EModelIdd(P.Ta);
  // A high sidetone adds to the echo impairment rather than to Is alone.
  const double Idte = P.Stmr > 20 ? std::sqrt(Sq(E.Idte) + Sq(IstValue)) : E.Idte;
  E.Id = Idte + E.Idle + E.Idd;

  E.IeEff = EModelIeEff(P.Ie, P.Ppl, P.Bpl, P.BurstR);
  E.R = E.Ro - E.Is - E.Id - E.IeEff + P.A;
  return E;
}

TCallScore ScoreG711Call(const TCallImpairments& C) {
  TCallScore S;
  S.DelayKnown = C.RoundTripMs.has_value();
  S.DelayMs = std::max(0.0, C.LocalDelayMs + (S.DelayKnown ? *C.RoundTripMs / 2 : 0.0));
  TEModelParameters P;
  // The echo path and the absolute delay are the one-way delay; the loop is
  // twice that (G.107's assumption where the echo path is not known apart).
  P.T = P.Ta = S.DelayMs;
  P.Tr = 2 * S.DelayMs;
  P.Ie = 0;
  P.Bpl = C.Concealment ? G711BplConcealed : G711BplPlain;
  P.Ppl = std::clamp(C.PplPercent, 0.0, 100.0);
  P.BurstR = std::max(1.0, C.BurstR);
  const TEModelRating E = EModelRate(P);
  S.R = E.R;
  S.Mos = EModelMos(E.R);
  S.Id = E.Id;
  S.IeEff = E.IeEff;
  return S;
}
