// The gate where RTP peers are born: the list, the two limits, what a refused
// sender is until it leaves, when the last peers are gone, and the bounded
// refusal log.
#include "access/peer_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "access/refusal_log.h"
#include "log_capture.h"

namespace {

using V = TPeerVerdict;

TAccessPolicy Policy(const char* Peers, uint32_t MaxPeers = 16, uint32_t PerSecond = 10) {
  TAccessPolicy P;
  P.Peers = TAccessList::Parse(Peers);
  P.MaxPeers = MaxPeers;
  P.NewPeersPerSecond = PerSecond;
  return P;
}

TEST(PeerGate, AStrangerIsRefusedUntilItLeavesAndItsGoingIsNoPeers) {
  TestSupport::TLogCapture Log;
  TPeerGate G;
  const TAccessPolicy P = Policy("10.1.0.0/16,::1");
  EXPECT_EQ(G.Decide(P, 1, "10.1.2.3", 5000, 0), V::Admitted);
  EXPECT_EQ(G.Decide(P, 2, "10.2.0.1", 5001, 0), V::NotListed);
  EXPECT_EQ(G.Decide(P, 3, "::1", 5002, 0), V::Admitted);
  EXPECT_EQ(G.Decide(P, 4, "::2", 5003, 0), V::NotListed);
  EXPECT_FALSE(G.Refused(1));
  EXPECT_TRUE(G.Refused(2));
  EXPECT_TRUE(G.Refused(4));
  EXPECT_EQ(G.PeerCount(), 2u);
  EXPECT_EQ(G.RefusedCount(), 2u);

  EXPECT_FALSE(G.Leave(2)) << "a refused sender was no peer";
  EXPECT_FALSE(G.Refused(2)) << "its id may come back as someone else";
  size_t Left = 99;
  EXPECT_TRUE(G.Leave(1, &Left));
  EXPECT_EQ(Left, 1u) << "the IPv6 peer stays";
  EXPECT_TRUE(G.Leave(99)) << "a sender the gate never saw counts as a peer";
  EXPECT_EQ(G.PeerCount(), 1u);
  EXPECT_EQ(Log.Lines(), (std::vector<std::string>{"REFUSED: [IP=<10.2.0.1>,Port=<5001>] not in [Access] Peers",
                                                   "REFUSED: [IP=<::2>,Port=<5003>] not in [Access] Peers"}));
}

TEST(PeerGate, MaxPeersHoldsTheNumberOfPeersAtOnce) {
  TestSupport::TLogCapture Log;
  TPeerGate G;
  const TAccessPolicy P = Policy("", 2);
  EXPECT_EQ(G.Decide(P, 1, "127.0.0.1", 1, 0), V::Admitted);
  EXPECT_EQ(G.Decide(P, 2, "127.0.0.2", 2, 0), V::Admitted);
  EXPECT_EQ(G.Decide(P, 3, "127.0.0.3", 3, 0), V::TooManyPeers);
  EXPECT_FALSE(G.Leave(3));
  EXPECT_TRUE(G.Leave(1));
  EXPECT_EQ(G.Decide(P, 4, "127.0.0.3", 3, 0), V::Admitted) << "a place is free again";
  EXPECT_EQ(Log.Lines(), std::vector<std::string>{"REFUSED: [IP=<127.0.0.3>,Port=<3>] MaxPeers=2 reached"});
}

TEST(PeerGate, NewPeersPerSecondIsABucketOfOneSecond) {
  TestSupport::TLogCapture Log;
  TPeerGate G;
  const TAccessPolicy P = Policy("10.0.0.0/8", 100, 3);
  int32_t Id = 0;
  auto Next = [&](uint32_t Now, const char* Address = "10.0.0.1") { return G.Decide(P, ++Id, Address, 9, Now); };
  const uint32_t T0 = 0xFFFFFF00;  // the tick counter wraps within the test
  EXPECT_EQ(Next(T0), V::Admitted);
  EXPECT_EQ(Next(T0), V::Admitted);
  EXPECT_EQ(Next(T0 + 10), V::Admitted);
  EXPECT_EQ(Next(T0 + 20), V::TooManyNewPeers) << "three at once, then the rate";
  for (int I = 0; I < 50; ++I) EXPECT_EQ(Next(T0 + 30, "192.0.2.1"), V::NotListed) << "strangers take no share";
  EXPECT_EQ(Next(T0 + 333), V::TooManyNewPeers) << "a third of a second since the first is not quite one more";
  EXPECT_EQ(Next(T0 + 334), V::Admitted);
  EXPECT_EQ(Next(T0 + 100000), V::Admitted) << "a long pause refills one second's worth, no more";
  EXPECT_EQ(Next(T0 + 100000), V::Admitted);
  EXPECT_EQ(Next(T0 + 100000), V::Admitted);
  EXPECT_EQ(Next(T0 + 100000), V::TooManyNewPeers);
  const auto Lines = Log.Lines();
  ASSERT_GE(Lines.size(), 2u);
  EXPECT_EQ(Lines[0], "REFUSED: [IP=<10.0.0.1>,Port=<9>] NewPeersPerSecond=3 exceeded");
  EXPECT_EQ(Lines[1], "REFUSED: [IP=<192.0.2.1>,Port=<9>] not in [Access] Peers");
}

TEST(PeerGate, TheLastPeersAreGoneOnlyWhenNoPeerStays) {
  TPeerGate G;
  const TAccessPolicy P = Policy("127.0.0.1");
  G.Decide(P, 1, "127.0.0.1", 1, 0);
  G.Decide(P, 2, "127.0.0.1", 2, 0);
  G.Decide(P, 3, "127.0.0.9", 3, 0);  // refused, not gone yet
  EXPECT_FALSE(G.LastPeersAmong("1")) << "peer 2 stays";
  EXPECT_FALSE(G.LastPeersAmong("3")) << "a refused sender is no peer";
  EXPECT_FALSE(G.LastPeersAmong(""));
  EXPECT_TRUE(G.LastPeersAmong("2,1"));
  EXPECT_TRUE(G.LastPeersAmong("3,2,1"));
  G.Leave(1);
  EXPECT_TRUE(G.LastPeersAmong("2"));
  G.Leave(2);
  EXPECT_TRUE(G.LastPeersAmong("2")) << "its departure was reported before the sweep's text was read";
}

TEST(RefusalLog, OneLinePerAddressPerMinuteAndThirtyAMinuteInAll) {
  TestSupport::TLogCapture Log;
  TRefusalLog R;
  const uint32_t T0 = 0xFFFF0000;
  EXPECT_TRUE(R.Write("10.0.0.1", "first", T0));
  EXPECT_FALSE(R.Write("10.0.0.1", "again", T0 + 59999));
  EXPECT_TRUE(R.Write("10.0.0.1", "a minute later", T0 + 60000));
  for (int I = 0; I < 40; ++I) R.Write("10.1.0." + std::to_string(I), "flood " + std::to_string(I), T0 + 60001);
  EXPECT_EQ(R.HeldBack(), 11u) << "29 more addresses fit into the minute that holds one line";
  EXPECT_FALSE(R.Write("10.2.0.1", "still full", T0 + 119999));
  EXPECT_TRUE(R.Write("10.2.0.1", "room again", T0 + 120001));
  EXPECT_EQ(R.HeldBack(), 0u);
  const auto Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 34u);
  EXPECT_EQ(Lines[0], "first");
  EXPECT_EQ(Lines[1], "REFUSED: 1 more refusals not logged") << "what was held back is said with the next line";
  EXPECT_EQ(Lines[2], "a minute later");
  EXPECT_EQ(Lines[3], "flood 0");
  EXPECT_EQ(Lines[31], "flood 28");
  EXPECT_EQ(Lines[32], "REFUSED: 12 more refusals not logged");
  EXPECT_EQ(Lines[33], "room again");
}

TEST(PeerGate, DecisionsDeparturesAndDatagramChecksFromSeveralThreads) {
  TestSupport::TLogCapture Log;
  TPeerGate G;
  const TAccessPolicy P = Policy("127.0.0.1", 1000000, 1000000);
  std::atomic<bool> Stop{false};
  std::atomic<uint64_t> Wrong{0};
  std::thread Reader([&] {
    while (!Stop) Wrong += G.Refused(0);  // id 0 is never handed out
  });
  std::vector<std::thread> Transport;
  for (int T = 0; T < 2; ++T)
    Transport.emplace_back([&, T] {
      for (int32_t I = 1; I <= 2000; ++I) {
        const int32_t Id = T * 100000 + I;
        const bool Stranger = I % 2 == 0;
        const V Verdict = G.Decide(P, Id, Stranger ? "127.0.0.2" : "127.0.0.1", I, 0);
        Wrong += (Verdict == V::Admitted) == Stranger;
        Wrong += G.Refused(Id) != Stranger;
        Wrong += G.Leave(Id) == Stranger;
      }
    });
  for (auto& T : Transport) T.join();
  Stop = true;
  Reader.join();
  EXPECT_EQ(Wrong, 0u);
  EXPECT_EQ(G.PeerCount(), 0u);
  EXPECT_EQ(G.RefusedCount(), 2000u);
}

}  // namespace
