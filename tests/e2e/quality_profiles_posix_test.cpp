// Does the call's score rank networks as a listener would, and by the numbers
// of ITU-T G.107? Five peers talk to one bridge at once, each through its own
// impairment relay: a clean network, 1 % random loss, 5 % loss in bursts, 30 ms
// of jitter, and 100 ms of delay each way. Each peer is a bridge of its own
// (StartAsClient to its relay, so that the relay knows where to send back), all
// with RTCP in mux mode, so that every call has a measured round trip. The
// measured bridge plays in the adaptive mode (the concealment of G.711
// Appendix I) and writes its call records. Each record's R must lie within 3
// of the E-model worked out here from the relay's settings, the record's buffer
// delay and what the bridge adds, and the five must fall in the listener's
// order. The test prints the table the README shows.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <thread>

#include "e2e_support_posix.h"
#include "platform/paths.h"

namespace {

using namespace E2E;

constexpr auto Talk = 20s;

// ---- the E-model by hand -------------------------------------------------------
// ITU-T G.107 (06/2015) with every parameter at its default value (SLR 8, RLR 2,
// STMR 15, LSTR 18, Ds 3, TELR 65, WEPL 110, qdu 1, Nc -70, Nfor -64, Ps = Pr 35,
// A 0), the delays one-way T = Ta and round trip Tr = 2 T, and G.711's Ie = 0.

double PowerSum(std::initializer_list<double> Dbs) {
  double S = 0;
  for (double D : Dbs) S += std::pow(10.0, D / 10);
  return 10 * std::log10(S);
}

double HandR(double T, double Ppl, double BurstR, double Bpl) {
  const double Slr = 8, Rlr = 2, Stmr = 15, Lstr = 18, Ds = 3, Telr = 65, Wepl = 110, Nc = -70, Nfor = -64;
  const double Ps = 35, Pr = 35, Olr = Slr + Rlr, Tr = 2 * T, Ta = T;
  // Ro: the basic signal-to-noise ratio (G.107 7.2).
  const double Nos = Ps - Slr - Ds - 100 + 0.004 * std::pow(Ps - Olr - Ds - 14, 2);
  const double Pre = Pr + 10 * std::log10(1 + std::pow(10.0, (10 - Lstr) / 10));
  const double Nor = Rlr - 121 + Pre + 0.008 * std::pow(Pre - 35, 2);
  const double No = PowerSum({Nc, Nos, Nor, Nfor + Rlr});
  const double Ro = 15 - 1.5 * (Slr + No);
  // Is: loudness, sidetone, quantizing distortion (7.3).
  const double Xolr = Olr + 0.2 * (64 + No - Rlr);
  const double Iolr = 20 * (std::pow(1 + std::pow(Xolr / 8, 8), 1.0 / 8) - Xolr / 8);
  const double Stmro = -10 * std::log10(std::pow(10.0, -Stmr / 10) + std::exp(-T / 4) * std::pow(10.0, -Telr / 10));
  const double Ist = 12 * std::pow(1 + std::pow((Stmro - 13) / 6, 8), 1.0 / 8) -
                     28 * std::pow(1 + std::pow((Stmro + 1) / 19.4, 35), 1.0 / 35) -
                     13 * std::pow(1 + std::pow((Stmro - 3) / 33, 13), 1.0 / 13) + 29;
  const double Q = 37, G = 1.07 + 0.258 * Q + 0.0602 * Q * Q;  // qdu = 1
  const double Y = (Ro - 100) / 15 + 46 / 8.4 - G / 9, Z = 46.0 / 30 - G / 40;
  const double Iq = 15 * std::log10(1 + std::pow(10.0, Y) + std::pow(10.0, Z));
  const double Is = Iolr + Ist + Iq;
  // Id: talker echo, listener echo, absolute delay (7.4).
  const double Roe = -1.5 * (No - Rlr);
  const double Terv = Telr - 40 * std::log10((1 + T / 10) / (1 + T / 150)) + 6 * std::exp(-0.3 * T * T);
  const double Re = 80 + 2.5 * (Terv - 14);
  const double Idte = T < 1 ? 0 : ((Roe - Re) / 2 + std::sqrt(std::pow(Roe - Re, 2) / 4 + 100) - 1) * (1 - std::exp(-T));
  const double Rle = 10.5 * (Wepl + 7) * std::pow(Tr + 1, -0.25);
  const double Idle = (Ro - Rle) / 2 + std::sqrt(std::pow(Ro - Rle, 2) / 4 + 169);
  const double X = std::log2(Ta / 100);
  const double Idd = Ta <= 100 ? 0 : 25 * (std::pow(1 + std::pow(X, 6), 1.0 / 6) - 3 * std::pow(1 + std::pow(X / 3, 6), 1.0 / 6) + 2);
  // Ie,eff: the codec's Ie (0) and the packet loss (7.5).
  const double IeEff = 95 * Ppl / (Ppl / BurstR + Bpl);
  return Ro - Is - (Idte + Idle + Idd) - IeEff;
}

// ---- the networks ----------------------------------------------------------------

struct TNetwork {
  const char* Name;
  double DelayMs = 0, BackDelayMs = 0, JitterMs = 0, Loss = 0;
  double GoodToBad = 0, BadToGood = 1;  // Gilbert-Elliott, a loss in every packet of the bad state

  // The relay's options for this network, as the README's table shows them.
  std::vector<std::string> Options() const {
    std::vector<std::string> O;
    const auto Add = [&](const char* Key, double V) {
      char Text[32];
      std::snprintf(Text, sizeof(Text), "%g", V);
      if (V > 0) O.insert(O.end(), {Key, Text});
    };
    Add("--delay", DelayMs);
    Add("--back-delay", BackDelayMs);
    Add("--jitter", JitterMs);
    Add("--loss", Loss);
    if (GoodToBad > 0) {
      Add("--ge-p", GoodToBad);
      Add("--ge-r", BadToGood);
    }
    return O;
  }
  // The relay's jitter is |normal(0, J)|: it adds J * sqrt(2 / pi) on average.
  double RoundTripMs() const { return DelayMs + BackDelayMs + JitterMs * std::sqrt(2 / std::numbers::pi); }
  // G.107's BurstR of a two-state chain: 1 / (p + r); 1 for random loss.
  double BurstR() const { return GoodToBad > 0 ? 1 / (GoodToBad + BadToGood) : 1; }
};

// p / (p + r) = 5 %, in bursts of 1 / r = 2 packets on average.
const TNetwork Networks[] = {
    {.Name = "clean"},
    {.Name = "1 % random loss", .Loss = 0.01},
    {.Name = "5 % bursty loss", .GoodToBad = 0.0263, .BadToGood = 0.5},
    {.Name = "30 ms jitter", .JitterMs = 30},
    {.Name = "100 ms delay", .DelayMs = 100, .BackDelayMs = 100},
};
constexpr size_t Clean = 0, Random1 = 1, Bursty5 = 2, Jitter30 = 3, Delay100 = 4;

// What the bridge adds to the one-way delay besides the buffer the record
// gives: the packet's 20 ms, and the earpiece: the adaptive mode hands it a
// frame when less than one more 20 ms frame is queued there.
constexpr double PacketMs = 20, EarpieceMs = 20;
constexpr double BplConcealed = 25.1;  // G.711 with Appendix I concealment (G.113 Appendix I)

TEST(CallQualityProfiles, TheScoreRanksImpairedNetworksAsTheEModelDoes) {
  constexpr size_t N = std::size(Networks);
  const uint16_t Port = FreePort(SOCK_DGRAM);
  const std::string Rtcp = "[Rtcp]\r\nMode=mux\r\nIntervalMs=1000\r\n";
  TBridge Measured(Ini(Port, 9, FreePort(SOCK_STREAM),
                       "DisconnectTimeOut=60000\r\n[Quality]\r\nCallRecords=1\r\n" + Rtcp + "[Receive]\r\nMode=adaptive\r\n",
                       "Capture1=Test Mic|tone=1000\r\nPlayback1=Test Ear\r\n"));
  const std::string Dir = Measured.Dir().string();
  std::vector<uint16_t> OutPorts;
  std::vector<std::unique_ptr<TRelay>> Relays;
  std::vector<std::unique_ptr<TBridge>> Peers;
  for (size_t I = 0; I < N; ++I) {
    const uint16_t Listen = FreePort(SOCK_DGRAM);
    OutPorts.push_back(FreePort(SOCK_DGRAM));
    std::vector<std::string> Options = Networks[I].Options();
    Options.insert(Options.end(), {"--seed", std::to_string(I + 1)});
    Relays.push_back(std::make_unique<TRelay>(Dir, std::to_string(I), Listen, Port, OutPorts[I], Options));
    Peers.push_back(std::make_unique<TBridge>(
        Ini(FreePort(SOCK_DGRAM), Listen, FreePort(SOCK_STREAM), "StartAsClient=1\r\nDisconnectTimeOut=60000\r\n" + Rtcp,
            "Capture1=Test Mic|tone=" + std::to_string(400 + 100 * I) + "\r\nPlayback1=Test Ear\r\n")));
  }
  for (const auto& R : Relays) ASSERT_TRUE(R->Ready());
  Measured.Start();
  ASSERT_TRUE(Measured.WaitForLog("RTCP sender/receiver processor -> started", 5s));
  for (const auto& P : Peers) P->Start();
  for (size_t I = 0; I < N; ++I)
    ASSERT_TRUE(Measured.WaitForLog("Port=<" + std::to_string(OutPorts[I]) + ">]", 5s)) << Networks[I].Name;
  std::this_thread::sleep_for(Talk);  // the calls' length, nothing to wait for
  Measured.Signal(SIGINT);
  EXPECT_EQ(Measured.Wait(10s), 0);

  std::map<uint16_t, std::string> Records;
  for (const std::string& L : Measured.LogLines())
    if (L.rfind("CALL QUALITY: [IP=127.0.0.1,Port=", 0) == 0) Records[static_cast<uint16_t>(std::stoi(L.substr(33)))] = L;
  std::vector<double> R(N);
  std::printf("| profile | relay | relay's loss | buffer delay | rtt | hand R | measured R | MOS |\n"
              "|---|---|---|---|---|---|---|---|\n");
  for (size_t I = 0; I < N; ++I) {
    const TNetwork& Net = Networks[I];
    SCOPED_TRACE(Net.Name);
    const double Lost = Relays[I]->Stop();
    const std::string& Record = Records[OutPorts[I]];
    ASSERT_FALSE(Record.empty()) << "no record";
    EXPECT_EQ(Record.find("net_delay=unknown"), std::string::npos) << "RTCP measured the round trip: " << Record;
    const double Buffer = Figure(Record, "delay");
    const double OneWay = PacketMs + Buffer + EarpieceMs + Net.RoundTripMs() / 2;
    const double Hand = HandR(OneWay, Lost, Net.BurstR(), BplConcealed);
    R[I] = Figure(Record, "R");
    std::string Settings;
    for (const std::string& O : Net.Options()) Settings += (Settings.empty() ? "" : " ") + O;
    std::printf("| %s | %s | %.2f %% | %.1f ms | %.1f ms | %.1f | %.1f | %.2f |\n", Net.Name,
                Settings.empty() ? "(none)" : Settings.c_str(), Lost, Buffer, Figure(Record, "rtt"), Hand, R[I],
                Figure(Record, "MOS"));
    EXPECT_NEAR(R[I], Hand, 3.0) << Record;
  }
  // A listener's order: loss in bursts is worse than a little random loss,
  // which is worse than jitter the buffer absorbs at the cost of some delay.
  EXPECT_GT(R[Clean], R[Jitter30]);
  EXPECT_GT(R[Jitter30], R[Random1]);
  EXPECT_GT(R[Random1], R[Bursty5]);
  EXPECT_LT(R[Delay100], R[Clean]);
}

}  // namespace
