#include "quality/emodel.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The standard's own figure: every parameter at its default rates R = 93.2,
// heard as MOS 4.41.
TEST(EModel, DefaultConnectionRates93Point2AndMos4Point41) {
  const TEModelRating E = EModelRate({});
  EXPECT_NEAR(E.Ro, 94.77, 0.005);
  EXPECT_NEAR(E.Is, 1.41, 0.005);
  EXPECT_NEAR(E.Id, 0.15, 0.005);  // listener echo over the default WEPL
  EXPECT_NEAR(E.R, 93.2, 0.05);
  EXPECT_NEAR(EModelMos(E.R), 4.41, 0.005);
}

// Each row moves one part of the model away from the defaults, so that every
// coefficient of every term changes some figure below. The expected Is, Id
// and R are G.107's formulas evaluated by hand (four places) for that row's
// parameters.
TEST(EModel, EveryTermFollowsTheStandardsFormulas) {
  struct TRow {
    const char* Name;
    TEModelParameters P;
    double Is, Id, R;
  };
  const TRow Rows[] = {
      {"room noise (Nos, Nor)", {.Ps = 65, .Pr = 65}, 1.0108, 0.1448, 60.5651},
      {"circuit noise", {.Nc = -50}, 1.0847, 0.1468, 76.3508},
      {"receive noise floor", {.Nfor = -50}, 1.0652, 0.1465, 73.7346},
      {"quiet sender (Iolr)", {.Slr = 18}, 0.9773, 0.1471, 78.8539},
      {"quiet receiver", {.Rlr = 12}, 0.9774, 0.1472, 79.7008},
      {"listener sidetone (Pre)", {.Lstr = 5}, 1.4094, 0.1490, 93.0988},
      {"send-side D-value", {.Ds = 10}, 1.4207, 0.1491, 93.3866},
      {"quantizing distortion (Iq)", {.Qdu = 8}, 14.6849, 0.1490, 79.9349},
      {"sidetone (Ist)", {.Stmr = 18.4}, 1.4034, 0.1490, 93.2164},
      {"low sidetone masks echo less (TERVs)", {.Stmr = 5, .T = 50}, 5.6063, 0.9844, 88.1782},
      {"just above the low sidetone", {.Stmr = 9.5, .T = 50}, 1.4343, 1.1720, 92.1626},
      {"high sidetone joins the echo (Idtes)", {.Stmr = 25, .T = 50}, 3.8950, 2.8324, 88.0413},
      {"just above the high sidetone", {.Stmr = 20.5, .T = 50}, 1.6528, 1.1994, 91.9166},
      // Beyond the planning range, to reach every term.
      {"far sidetone", {.Stmr = 40}, 10.4299, 9.1647, 75.1742},
      {"echo on a short path (STMRo, TERV)", {.Stmr = 5, .Telr = 5, .T = 2}, 9.5721, 27.7604, 57.4363},
      {"echo path of 1.5 ms", {.Telr = 10, .T = 1.5}, 1.4204, 19.9883, 73.3602},
      {"talker echo (Idte)", {.Telr = 45, .T = 100}, 1.4136, 22.6309, 70.7244},
      {"listener echo (Idle)", {.Wepl = 40, .Tr = 200}, 1.4136, 4.1757, 89.1796},
      {"bursty loss on a lossy codec", {.Ie = 11, .Bpl = 19, .Ppl = 2, .BurstR = 2}, 1.4136, 0.1490, 73.8062},
      {"advantage factor", {.A = 10}, 1.4136, 0.1490, 103.2062},
  };
  for (const TRow& Row : Rows) {
    const TEModelRating E = EModelRate(Row.P);
    EXPECT_NEAR(E.Is, Row.Is, 0.0005) << Row.Name;
    EXPECT_NEAR(E.Id, Row.Id, 0.0005) << Row.Name;
    EXPECT_NEAR(E.R, Row.R, 0.0005) << Row.Name;
  }
}

// The delay curve: one-way delay Ta, echo path T = Ta, loop Tr = 2 Ta, the
// rest at the defaults.
//   Ta = 150: X = lg 1.5 / lg 2 = 0.585, Idd = 25 {(1 + X^6)^(1/6) - 3 (1 + (X/3)^6)^(1/6) + 2} = 0.1635;
//             TERV = 65 - 40 lg(16 / 2) + 0 = 28.876, Re = 117.19, Roe = 94.77, Idte = 2.8118;
//             Rle = 10.5 * 117 * 301^-0.25 = 294.94, Idle = 0.8407; R = 94.7688 - 1.4136 - 3.8161 = 89.54
//   Ta = 250: X = 1.3219, Idd = 8.9167, Idte = 4.2429, Idle = 1.0186; R = 79.18
//   Ta = 400: X = 2, Idd = 24.0701, Idte = 5.8082, Idle = 1.2301; R = 62.25
TEST(EModel, DelayCurveAt150_250_400Ms) {
  struct TRow {
    double Ta, Idd, Id, R;
  };
  for (const TRow& Row : {TRow{150, 0.1635, 3.8161, 89.54}, TRow{250, 8.9167, 14.1782, 79.18},
                          TRow{400, 24.0701, 31.1084, 62.25}}) {
    const TEModelRating E = EModelRate({.T = Row.Ta, .Tr = 2 * Row.Ta, .Ta = Row.Ta});
    EXPECT_NEAR(E.Idd, Row.Idd, 0.0005) << Row.Ta;
    EXPECT_NEAR(E.Id, Row.Id, 0.0005) << Row.Ta;
    EXPECT_NEAR(E.R, Row.R, 0.005) << Row.Ta;
  }
  EXPECT_EQ(EModelIdd(100), 0.0);
  EXPECT_GT(EModelIdd(101), 0.0);
}

// G.711's Ie = 0 and G.113 Appendix I's Bpl: 25.1 with the concealment of G.711
// Appendix I, 4.3 without. Ie,eff = 95 Ppl / (Ppl + Bpl) for random loss.
TEST(EModel, PacketLossImpairmentOfG711WithAndWithoutConcealment) {
  struct TRow {
    double Ppl, Concealed, Plain;
  };
  for (const TRow& Row : {TRow{1, 3.6398, 17.9245}, TRow{2, 7.0111, 30.1587}, TRow{5, 15.7807, 51.0753}}) {
    EXPECT_NEAR(EModelIeEff(0, Row.Ppl, G711BplConcealed, 1), Row.Concealed, 0.0005) << Row.Ppl;
    EXPECT_NEAR(EModelIeEff(0, Row.Ppl, G711BplPlain, 1), Row.Plain, 0.0005) << Row.Ppl;
  }
  // Bursts weigh more: 95 * 5 / (5 / 2 + 25.1).
  EXPECT_NEAR(EModelIeEff(0, 5, G711BplConcealed, 2), 17.2101, 0.0005);
  EXPECT_EQ(EModelIeEff(0, 0, G711BplConcealed, 1), 0.0);
}

// MOS = 1 + 0.035 R + R (R - 60)(100 - R) 7e-6; the bounds of G.107's table
// of R against MOS (90: 4.34, 70: 3.60, 60: 3.10, 50: 2.58) lie on it.
TEST(EModel, MosFromR) {
  struct TRow {
    double R, Mos;
  };
  for (const TRow& Row : {TRow{-5, 1}, TRow{0, 1}, TRow{0.5, 0.9968}, TRow{50, 2.575}, TRow{60, 3.1}, TRow{70, 3.597},
                          TRow{80, 4.024}, TRow{90, 4.339}, TRow{100, 4.5}, TRow{100.5, 4.5},
                          TRow{120, 4.5}})
    EXPECT_NEAR(EModelMos(Row.R), Row.Mos, 0.0005) << Row.R;
}

// BurstR = mean loss run / the mean run of random loss at that rate, 1 / (1 - L).
TEST(EModel, BurstRatioFromLossRuns) {
  EXPECT_NEAR(EModelBurstRatio(1000, 50, 10), 5 * 0.95, 1e-9);  // runs of 5
  EXPECT_NEAR(EModelBurstRatio(100, 20, 5), 4 * 0.8, 1e-9);
  EXPECT_NEAR(EModelBurstRatio(100, 10, 1), 10 * 0.9, 1e-9);
  // The same as 1 / (p + q) of the two-state model: p = 10 / 950, q = 10 / 50.
  EXPECT_NEAR(EModelBurstRatio(1000, 50, 10), 1 / (10.0 / 950 + 10.0 / 50), 1e-9);
  EXPECT_EQ(EModelBurstRatio(1000, 50, 50), 1.0) << "isolated losses: random";
  EXPECT_EQ(EModelBurstRatio(1000, 0, 0), 1.0);
  EXPECT_EQ(EModelBurstRatio(0, 0, 0), 1.0);
}

// The bridge's form: the local delay always, half the round trip when RTCP
// measured it; without it the network is left out and the score says so.
TEST(EModel, G711CallWithKnownAndUnknownDelay) {
  TCallImpairments C;
  C.LocalDelayMs = 60;
  C.RoundTripMs = 180;
  C.PplPercent = 2;
  TCallScore S = ScoreG711Call(C);
  EXPECT_TRUE(S.DelayKnown);
  EXPECT_DOUBLE_EQ(S.DelayMs, 150);
  EXPECT_NEAR(S.R, 89.5391 - 7.0111, 0.001);

  C.RoundTripMs.reset();
  S = ScoreG711Call(C);
  EXPECT_FALSE(S.DelayKnown);
  EXPECT_DOUBLE_EQ(S.DelayMs, 60);
  EXPECT_NEAR(S.R, 91.5239 - 7.0111, 0.001);  // R at Ta = 60 ms, less Ie,eff at 2 %

  C.PplPercent = 5;
  C.Concealment = false;
  S = ScoreG711Call(C);
  EXPECT_NEAR(S.R, 91.5239 - 51.0753, 0.001);
  EXPECT_NEAR(S.Mos, EModelMos(S.R), 1e-12);
}

}  // namespace
