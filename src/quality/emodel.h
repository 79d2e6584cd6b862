#pragma once
// The E-model of ITU-T G.107: one transmission rating R for a connection, and
// the conversational MOS it predicts. The full model is here, every parameter
// at G.107's default unless given, so that a narrowband G.711 call with no
// impairment rates R = 93.2 (MOS 4.41) as the standard says; the bridge itself
// knows only the delay and the loss of what it played, and rates a call with
// ScoreG711Call.
//
//   R = Ro - Is - Id - Ie,eff + A
//
// Units are G.107's: loudness ratings and losses in dB, noise in dBm0p / dBmp,
// room noise in dB(A), delays in ms, Ppl in percent.

#include <cstdint>
#include <optional>

// G.107's defaults for every parameter (its table of default values). LSTR is
// STMR + Dr with Dr = 3 dB.
struct TEModelParameters {
  double Slr = 8;     // send loudness rating
  double Rlr = 2;     // receive loudness rating
  double Stmr = 15;   // sidetone masking rating
  double Lstr = 18;   // listener sidetone rating
  double Ds = 3;      // D-value of the telephone, send side
  double Telr = 65;   // talker echo loudness rating
  double Wepl = 110;  // weighted echo path loss
  double T = 0;       // mean one-way delay of the echo path
  double Tr = 0;      // round-trip delay in a 4-wire loop
  double Ta = 0;      // absolute delay in echo-free connections
  double Qdu = 1;     // quantizing distortion units
  double Ie = 0;      // equipment impairment factor
  double Bpl = 4.3;   // packet-loss robustness factor
  double Ppl = 0;     // random packet-loss probability, percent
  double BurstR = 1;  // burst ratio: 1 for random loss
  double Nc = -70;    // circuit noise referred to the 0 dBr point
  double Nfor = -64;  // noise floor at the receive side
  double Ps = 35;     // room noise at the send side
  double Pr = 35;     // room noise at the receive side
  double A = 0;       // advantage factor
};

// R and the terms it is made of.
struct TEModelRating {
  double No = 0;  // the power sum of the noise sources
  double Ro = 0;  // basic signal-to-noise ratio
  double Is = 0;  // simultaneous impairment
  double Idte = 0, Idle = 0, Idd = 0;
  double Id = 0;     // delay impairment: Idte + Idle + Idd (Idte with sidetone for STMR > 20)
  double IeEff = 0;  // effective equipment impairment (codec and packet loss)
  double R = 0;
};

TEModelRating EModelRate(const TEModelParameters& P);

// The impairment of absolute delay alone: 0 up to 100 ms.
double EModelIdd(double TaMs);

// Ie,eff = Ie + (95 - Ie) * Ppl / (Ppl / BurstR + Bpl); Ppl in percent.
double EModelIeEff(double Ie, double PplPercent, double Bpl, double BurstR);

// The conversational MOS predicted from R: 1 below 0, 4.5 above 100.
double EModelMos(double R);

// BurstR of a stretch of packets from its counts: the mean length of its loss
// runs over the mean length random loss at the same rate would give, which is
// G.107's 1 / (p + q) of a two-state Markov model (p: a packet lost after one
// that arrived, q: one that arrived after a lost one). Loss runs more evenly
// spread than random loss count as random (1); so does a stretch without loss.
double EModelBurstRatio(uint64_t Packets, uint64_t Lost, uint64_t LossRuns);

// G.711's packet-loss robustness (ITU-T G.113 Appendix I), with the
// concealment of G.711 Appendix I and without any. Its Ie is 0.
inline constexpr double G711BplConcealed = 25.1;
inline constexpr double G711BplPlain = 4.3;

// What the bridge knows of a call it receives.
struct TCallImpairments {
  // The one-way delay added at this end: packetisation, the receive buffer,
  // the device's buffering.
  double LocalDelayMs = 0;
  // The round trip to the peer, when RTCP measured it; half of it is the
  // network's share of the one-way delay. Unknown: the network part is left out.
  std::optional<double> RoundTripMs;
  double PplPercent = 0;  // lost and dropped late, after the receive buffer
  double BurstR = 1;
  bool Concealment = true;  // lost audio is made up rather than left silent
};

struct TCallScore {
  double R = 0;
  double Mos = 0;
  double DelayMs = 0;       // the one-way delay rated (Ta, with T = Ta and Tr = 2 Ta)
  bool DelayKnown = false;  // false: DelayMs holds the local part only
  double Id = 0;
  double IeEff = 0;
};

// Rates a narrowband G.711 call: every other parameter at G.107's default.
TCallScore ScoreG711Call(const TCallImpairments& C);
