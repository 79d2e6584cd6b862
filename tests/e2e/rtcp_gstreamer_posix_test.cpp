// The bridge's RTCP against GStreamer's rtpbin, an RTP and RTCP peer of another
// make, in port and in mux mode, through the impairment relay both ways (a loss
// and a fixed delay each way):
// - GStreamer's reports of our stream, as the bridge reads them (the call
//   record's tx_loss and rtt), agree with the relays: the loss within 1 point
//   of the way back's, the round trip within 5 ms of the two delays added;
// - what the bridge reports of GStreamer's stream (its RR blocks) and the
//   record's rx_loss agree with the way in's loss;
// - tshark decodes every RTCP packet the bridge sent without a warning.
//
// The ways. GStreamer sends from fixed ports (RTP from S, RTCP from S + 1; in
// mux mode both from S) through relays A (and B for RTCP) that send on from
// fixed ports OA (and OA + 1): the bridge sees one peer whose RTCP comes from
// its RTP port + 1. A udpsink cannot receive, so GStreamer listens on ports of
// its own (RTP on G, RTCP on G + 1), which the bridge reaches as a second peer
// through relays C (and D); the bridge, started as client, sends its start
// datagram to C first, so that C knows where to send back, and the test then
// announces that peer through C. In mux mode the bridge's RTP and RTCP both go
// through C, and the test parts them to GStreamer's two ports by the RFC 5761
// rule: rtpbin reads RTCP only on its RTCP pad, and no element of GStreamer
// 1.22 parts them on the way there from gst-launch (rtpptdemux drops payload
// types 72 to 76 as invalid RTP). A third peer, the test's own socket, hears
// every report the bridge sends, for tshark and for the bridge's RR blocks.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <regex>
#include <thread>

#include "e2e_support_posix.h"
#include "pcap_writer.h"
#include "platform/paths.h"
#include "quality/rtcp_packet.h"

namespace {

using namespace E2E;

constexpr double InDelayMs = 30, BackDelayMs = 50;  // the round trip: 80 ms
constexpr double InLoss = 0.03, BackLoss = 0.05;
constexpr auto Talk = 20s;  // four or five of GStreamer's reports (every 5 s, the first after 2.5 s)

bool IsRtcp(const Bytes& B) { return IsRtcpDatagram(reinterpret_cast<const uint8_t*>(B.data()), B.size()); }

// The relay's options: a fixed delay and random loss.
std::vector<std::string> Impair(double DelayMs, double Loss, int Seed) {
  return {"--delay", std::to_string(DelayMs), "--loss", std::to_string(Loss), "--seed", std::to_string(Seed)};
}

void AgainstGStreamer(bool PortMode) {
  const std::string Gst = FindOnPath("gst-launch-1.0");
  ASSERT_FALSE(Gst.empty()) << "gst-launch-1.0 is missing (scripts/install-deps.sh installs gstreamer1.0-tools)";
  const uint16_t P = FreePortPair(), Tcp = FreePort(SOCK_STREAM);
  const uint16_t La = FreePort(SOCK_DGRAM), Lb = FreePort(SOCK_DGRAM), Oa = FreePortPair();
  const uint16_t Lc = FreePortPair(), Oc = FreePort(SOCK_DGRAM), S = FreePortPair(), G = FreePortPair();
  const uint16_t Q = FreePortPair();
  // Where the way back ends: GStreamer itself, or in mux mode the test's parting of RTP and RTCP.
  const uint16_t Mux = PortMode ? 0 : FreePort(SOCK_DGRAM);

  TBridge B(Ini(P, Lc, Tcp,
                "StartAsClient=1\r\nDisconnectTimeOut=60000\r\n[Quality]\r\nCallRecords=1\r\n[Rtcp]\r\nMode=" +
                    std::string(PortMode ? "port" : "mux") + "\r\nIntervalMs=1000\r\n",
                "Capture1=Test Mic|tone=1000\r\nPlayback1=Test Ear\r\n"));
  const std::string Dir = B.Dir().string();
  std::vector<std::unique_ptr<TRelay>> Relays;
  Relays.push_back(std::make_unique<TRelay>(Dir, "a", La, P, Oa, Impair(InDelayMs, InLoss, 1)));
  Relays.push_back(std::make_unique<TRelay>(Dir, "c", Lc, PortMode ? G : Mux, Oc, Impair(BackDelayMs, BackLoss, 3)));
  if (PortMode) {
    Relays.push_back(std::make_unique<TRelay>(Dir, "b", Lb, P + 1, Oa + 1, Impair(InDelayMs, InLoss, 2)));
    Relays.push_back(std::make_unique<TRelay>(Dir, "d", Lc + 1, G + 1, 0, Impair(BackDelayMs, BackLoss, 4)));
  }
  for (const auto& R : Relays) ASSERT_TRUE(R->Ready());

  std::atomic<bool> Parting{!PortMode};
  std::thread Parter([&] {
    if (PortMode) return;
    TSocket In(SOCK_DGRAM, Mux);
    In.SetTimeout(50ms);
    while (Parting)
      if (const Bytes D = In.Receive(); !D.empty()) In.SendTo(IsRtcp(D) ? G + 1 : G, D);
  });
  TJoin PartingJoin{Parting, Parter};

  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTCP sender/receiver processor -> started", 5s));
  // GStreamer's receiving side becomes a peer through relay C: what comes to C's
  // out-port goes to the bridge from C's listening port.
  TSocket Test(SOCK_DGRAM);
  ASSERT_TRUE(TestSupport::WaitUntil([&] {
    Test.SendTo(Oc, Bytes(20, '\0'));
    return B.WaitForLog("Port=<" + std::to_string(Lc) + ">]", 200ms);
  }, 5000));
  // The test's own peer, for every report the bridge sends.
  TSocket Listener(SOCK_DGRAM, Q), ListenerRtcp(SOCK_DGRAM, Q + 1);
  Listener.SendTo(P, Bytes(20, '\0'));
  ASSERT_TRUE(B.WaitForLog("Port=<" + std::to_string(Q) + ">]", 3s));

  const std::string RtpCaps = "caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMA,payload=8";
  std::vector<std::string> Args = {Gst, "-e", "rtpbin", "name=rb",
                                   "audiotestsrc", "freq=600", "is-live=true", "samplesperbuffer=160", "!",
                                   "audio/x-raw,rate=8000,channels=1", "!", "alawenc", "!", "rtppcmapay",
                                   "max-ptime=20000000", "!", "rb.send_rtp_sink_0",
                                   "udpsrc", "address=127.0.0.1", "port=" + std::to_string(G), RtpCaps, "!",
                                   "rb.recv_rtp_sink_0",
                                   "udpsrc", "address=127.0.0.1", "port=" + std::to_string(G + 1),
                                   "caps=application/x-rtcp", "!", "rb.recv_rtcp_sink_0"};
  // A udpsink from port Bind to To, after From (or after the element just added).
  auto Sink = [&](const std::string& From, uint16_t To, uint16_t Bind) {
    if (!From.empty()) Args.push_back(From);
    Args.insert(Args.end(), {"!", "udpsink", "host=127.0.0.1", "port=" + std::to_string(To),
                             "bind-port=" + std::to_string(Bind), "sync=false", "async=false"});
  };
  if (PortMode) {
    Sink("rb.send_rtp_src_0", La, S);
    Sink("rb.send_rtcp_src_0", Lb, S + 1);
  } else {
    Args.insert(Args.end(), {"funnel", "name=both"});
    Sink("", La, S);
    Args.insert(Args.end(), {"rb.send_rtp_src_0", "!", "both.", "rb.send_rtcp_src_0", "!", "both."});
  }
  // One sink per SSRC of ours it hears: the bridge's first, and the one it takes
  // when GStreamer's stream comes (an unlinked stream would stop the pipeline).
  for (int I = 0; I < 3; ++I) Args.insert(Args.end(), {"rb.", "!", "fakesink", "async=false"});

  TProcess GStreamer(Args, Dir + "/gst.out");
  ASSERT_TRUE(GStreamer.Started());
  ASSERT_TRUE(B.WaitForLog("Port=<" + std::to_string(Oa) + ">]", 5s)) << TestSupport::ReadFile(Dir + "/gst.out");

  // Every report the bridge sends, as the third peer hears it, read until the
  // bridge has ended (its audio would fill the socket meanwhile).
  std::vector<Bytes> Reports;
  std::atomic<bool> Listening{true};
  std::thread Collector([&] {
    Listener.SetTimeout(10ms);
    ListenerRtcp.SetTimeout(10ms);
    while (Listening)
      for (TSocket* Socket : {&Listener, &ListenerRtcp})
        if (Bytes D = Socket->Receive(); !D.empty() && IsRtcp(D)) Reports.push_back(std::move(D));
  });
  TJoin CollectorJoin{Listening, Collector};
  std::this_thread::sleep_for(Talk);  // the call's length, nothing to wait for
  HangUp(GStreamer, B);
  Listening = false;
  Collector.join();
  const double In = Relays[0]->Stop(), Back = Relays[1]->Stop();
  for (size_t I = 2; I < Relays.size(); ++I) Relays[I]->Stop();

  // GStreamer's view of our stream, as the bridge read it from its reports.
  std::string Record;
  for (const std::string& L : B.LogLines())
    if (L.rfind("CALL QUALITY: [IP=127.0.0.1,Port=" + std::to_string(Oa) + "]", 0) == 0) Record = L;
  ASSERT_FALSE(Record.empty()) << "no record of GStreamer's call";
  std::printf("%s mode: relay in %.2f %% lost, back %.2f %% lost, %g ms + %g ms\n%s\n", PortMode ? "port" : "mux", In,
              Back, InDelayMs, BackDelayMs, Record.c_str());
  EXPECT_NEAR(Figure(Record, "tx_loss"), Back, 1.0) << Record;
  EXPECT_NEAR(Figure(Record, "rtt"), InDelayMs + BackDelayMs, 5.0) << Record;
  EXPECT_NEAR(Figure(Record, "rx_loss"), In, 1.0) << Record;
  EXPECT_EQ(Record.find("net_delay=unknown"), std::string::npos) << "the round trip rates the call";

  // What the bridge reported of GStreamer's stream: the loss between its first
  // and its last block.
  ASSERT_GE(Reports.size(), 10u);
  std::optional<TRtcpReportBlock> First, Last;
  size_t Byes = 0;
  for (const Bytes& R : Reports) {
    TRtcpCompound C;
    TRtcpCounters N;
    ASSERT_EQ(ParseRtcpCompound(reinterpret_cast<const uint8_t*>(R.data()), R.size(), C, N), TRtcpVerdict::Accepted);
    Byes += C.ByeCount;
    if (C.BlockCount == 0) continue;
    if (!First) First = C.Blocks[0];
    Last = C.Blocks[0];
  }
  EXPECT_EQ(Byes, 1u) << "BYE once, at the stop";
  ASSERT_TRUE(First && Last && Last->ExtendedHighestSequence > First->ExtendedHighestSequence + 500);
  const double Reported = 100.0 * (Last->CumulativeLost - First->CumulativeLost) /
                          (Last->ExtendedHighestSequence - First->ExtendedHighestSequence);
  EXPECT_NEAR(Reported, In, 1.0) << "the bridge's RR blocks about GStreamer's stream";

  // tshark reads every one without a warning.
  TestSupport::TPcapWriter Pcap(Q);
  for (const Bytes& R : Reports) Pcap.Add(reinterpret_cast<const uint8_t*>(R.data()), static_cast<uint32_t>(R.size()));
  TestSupport::WriteFile(Dir + "/rtcp.pcap", Pcap.Bytes());
  const std::string Command = "tshark -r '" + Dir + "/rtcp.pcap' -V -d udp.port==" + std::to_string(Q) + ",rtcp > '" +
                              Dir + "/tshark.txt' 2>&1";
  ASSERT_EQ(std::system(Command.c_str()), 0) << TestSupport::ReadFile(Dir + "/tshark.txt");
  const std::string Decoded = TestSupport::ReadFile(Dir + "/tshark.txt");
  size_t Frames = 0, Senders = 0;
  for (size_t At = 0; (At = Decoded.find("\nFrame ", At)) != std::string::npos; ++At) ++Frames;
  for (size_t At = 0; (At = Decoded.find("(Sender Report)", At)) != std::string::npos; ++At) ++Senders;
  EXPECT_EQ(Frames + (Decoded.rfind("Frame ", 0) == 0), Reports.size());
  EXPECT_GT(Senders, 0u);
  for (const char* Bad : {"Malformed", "Expert Info (Warning", "Expert Info (Error"})
    EXPECT_EQ(Decoded.find(Bad), std::string::npos) << Bad;
}

TEST(RtcpGStreamer, PortModeAgreesWithTheRelayBothWays) { AgainstGStreamer(true); }

TEST(RtcpGStreamer, MuxModeAgreesWithTheRelayBothWays) { AgainstGStreamer(false); }

}  // namespace
