// Who may hear the call, end to end against the real program: allowed and
// refused RTP peers over IPv4 and IPv6, refused recording clients, a flood of
// forged sources from the loopback network against the peer limits, RTCP and
// foreign payload types, and the send identity across a stranger's time-out.
//
// The flood test sends BRENVIC_FLOOD_DATAGRAMS forged datagrams (1000 unless
// set) from up to 1000 loopback addresses and prints what the bridge sent them:
//   BRENVIC_FLOOD_DATAGRAMS=100000 build/debug/bin/access_e2e_test --gtest_filter='*Flood*'
#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "bridge_process_posix.h"
#include "rtp/rtp_test_support.h"

namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using asio::ip::udp;
using E2E::TBridge;
using Bytes = std::string;
using TClock = std::chrono::steady_clock;

asio::ip::address Ip(const char* Text) { return asio::ip::make_address(Text); }

uint16_t FreeUdpPort() {
  asio::io_context Io;
  return udp::socket(Io, udp::endpoint(udp::v6(), 0)).local_endpoint().port();
}

uint16_t FreeTcpPort() {
  asio::io_context Io;
  return tcp::acceptor(Io, tcp::endpoint(tcp::v6(), 0)).local_endpoint().port();
}

// A UDP endpoint bound to one loopback address, never blocking.
class TUdp {
public:
  explicit TUdp(const char* Address) : FSocket(Io(), udp::endpoint(Ip(Address), 0)) { FSocket.non_blocking(true); }
  uint16_t Port() const { return FSocket.local_endpoint().port(); }
  void Send(const char* To, uint16_t Port, const Bytes& Data) {
    std::error_code Ec;
    FSocket.send_to(asio::buffer(Data), udp::endpoint(Ip(To), Port), 0, Ec);
  }
  // Waits for a datagram; empty when none came within 5 s.
  Bytes Receive() {
    Bytes P;
    TestSupport::WaitUntil([&] { return !(P = Poll()).empty(); });
    return P;
  }
  // A waiting datagram, or empty.
  Bytes Poll() {
    char Buf[4096];
    std::error_code Ec;
    udp::endpoint From;
    const size_t N = FSocket.receive_from(asio::buffer(Buf), From, 0, Ec);
    return Ec ? Bytes() : Bytes(Buf, N);
  }
  // Everything that arrives within Time (for a check that nothing comes).
  std::vector<Bytes> Drain(std::chrono::milliseconds Time) {
    std::vector<Bytes> All;
    const auto End = TClock::now() + Time;
    while (TClock::now() < End) {
      Bytes P = Poll();
      if (P.empty())
        std::this_thread::sleep_for(2ms);
      else
        All.push_back(std::move(P));
    }
    return All;
  }

private:
  static asio::io_context& Io() {
    static asio::io_context I;
    return I;
  }
  udp::socket FSocket;
};

std::string Ini(const std::string& LocalIP, uint16_t Port, const std::string& TcpIP, uint16_t Tcp,
                const std::string& Options, const std::string& Access) {
  return "[Options]\r\nDoLog=1\r\nLocalIP=" + LocalIP + "\r\nLocalPort=" + std::to_string(Port) +
         "\r\nRemoteIP=127.0.0.1\r\nRemotePort=9\r\nTCPServerListenIP=" + TcpIP +
         "\r\nTCPServerListenPort=" + std::to_string(Tcp) + "\r\nRecDeviceID=Test\r\nPlayDeviceID=Test\r\n" +
         Options + Access +
         "[VirtualDevices]\r\nCapture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n";
}

Bytes Rtp(uint16_t Seq, uint32_t Ssrc, char Fill, uint8_t Pt = 8) {
  RtpTest::TDatagram D;
  D.Seq = Seq;
  D.Ts = 160u * Seq;
  D.Ssrc = Ssrc;
  D.Pt = Pt;
  D.Length = 12;
  const auto H = D.Bytes();
  return Bytes(H.begin(), H.end()) + Bytes(160, Fill);
}

uint32_t SsrcOf(const Bytes& P) {
  uint32_t S = 0;
  for (int I = 0; I < 4; ++I) S = (S << 8) | static_cast<uint8_t>(P[8 + I]);
  return S;
}

uint16_t SeqOf(const Bytes& P) { return static_cast<uint16_t>(static_cast<uint8_t>(P[2]) << 8 | static_cast<uint8_t>(P[3])); }

size_t Starting(const std::vector<std::string>& Lines, const std::string& Text) {
  size_t N = 0;
  for (const auto& L : Lines) N += L.rfind(Text, 0) == 0;
  return N;
}

size_t Count(const std::vector<std::string>& Lines, const std::string& Text) {
  size_t N = 0;
  for (const auto& L : Lines) N += L.find(Text) != std::string::npos;
  return N;
}

Bytes RawRecv(const TBridge& B) {
  for (auto& E : std::filesystem::directory_iterator(B.Dir()))
    if (E.path().filename().string().rfind("RawRecv_", 0) == 0) return TestSupport::ReadFile(E.path());
  return "<missing>";
}

void Stop(TBridge& B) {
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);
}

// A legitimate peer in conversation: one packet every 20 ms on its own thread,
// and everything the bridge sends it kept.
class TTalker {
public:
  TTalker(const char* Address, const char* To, uint16_t Port, char Fill)
      : FSocket(Address), FTo(To), FPort(Port), FFill(Fill), FThread([this] { Run(); }) {}
  ~TTalker() { Finish(); }
  void Finish() {
    FDone = true;
    if (FThread.joinable()) FThread.join();
  }
  uint16_t Port() const { return FSocket.Port(); }
  uint16_t Sent() const { return FSeq; }
  std::vector<Bytes> Received() {
    std::lock_guard<std::mutex> G(FLock);
    return FReceived;
  }

private:
  void Run() {
    auto Next = TClock::now();
    while (!FDone) {
      FSocket.Send(FTo, FPort, Rtp(FSeq, 0xA11CE, FFill));
      FSeq = static_cast<uint16_t>(FSeq + 1);
      Next += 20ms;
      while (TClock::now() < Next) {
        Bytes P = FSocket.Poll();
        if (P.empty()) {
          std::this_thread::sleep_for(1ms);  // pacing: the next packet is not due yet
          continue;
        }
        std::lock_guard<std::mutex> G(FLock);
        FReceived.push_back(std::move(P));
      }
    }
  }

  TUdp FSocket;
  const char* FTo;
  const uint16_t FPort;
  const char FFill;
  std::atomic<uint16_t> FSeq{0};
  std::atomic<bool> FDone{false};
  std::mutex FLock;
  std::vector<Bytes> FReceived;  // guarded by FLock
  std::thread FThread;
};

// One stream from the bridge, whole: a single SSRC and no sequence step lost
// beyond a few on a loaded machine.
void ExpectContinuous(const std::vector<Bytes>& Packets, size_t AtLeast) {
  ASSERT_GE(Packets.size(), AtLeast);
  std::set<uint32_t> Ssrcs;
  size_t Lost = 0;
  for (size_t I = 0; I < Packets.size(); ++I) {
    Ssrcs.insert(SsrcOf(Packets[I]));
    if (I > 0) Lost += static_cast<uint16_t>(SeqOf(Packets[I]) - SeqOf(Packets[I - 1]) - 1);
  }
  EXPECT_EQ(Ssrcs.size(), 1u) << "the bridge stayed one source to its peer";
  EXPECT_LE(Lost * 20, Packets.size()) << "at most one packet in twenty missing";
}

// ---- tests --------------------------------------------------------------------

TEST(Access, PeersOutsideTheListAreNeverServedNorHeardOverIPv4AndIPv6) {
  const uint16_t Port = FreeUdpPort(), Tcp = FreeTcpPort();
  TBridge B(Ini("::", Port, "127.0.0.1", Tcp, "SaveWavData=1\r\n", "[Access]\r\nPeers=127.0.0.2, ::1\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));

  TUdp Stranger("127.0.0.3");
  {
    // One stream is played at a time: the IPv4 peer's first, the IPv6 peer's
    // once the first has stopped.
    TTalker V4("127.0.0.2", "127.0.0.1", Port, 'a');
    std::this_thread::sleep_for(100ms);
    TTalker V6("::1", "::1", Port, 'b');
    for (uint16_t I = 0; I < 60; ++I) {
      Stranger.Send("127.0.0.1", Port, Rtp(I, 0x5EC, 'z'));
      std::this_thread::sleep_for(20ms);  // pacing
    }
    EXPECT_TRUE(Stranger.Drain(300ms).empty()) << "a refused sender gets nothing";
    V4.Finish();
    std::this_thread::sleep_for(300ms);
    V6.Finish();
    EXPECT_GE(V4.Received().size(), 30u);
    EXPECT_GE(V6.Received().size(), 30u);
    Stop(B);
    const auto Log = B.LogLines();
    EXPECT_EQ(Starting(Log, "CONNECTED: [ID="), 2u);
    // Each allowed peer came (and went at the stop).
    EXPECT_EQ(Count(Log, ",IP=<127.0.0.2>,Port=<" + std::to_string(V4.Port()) + ">]"), 2u);
    EXPECT_EQ(Count(Log, ",IP=<::1>,Port=<" + std::to_string(V6.Port()) + ">]"), 2u);
  }
  const auto Log = B.LogLines();
  EXPECT_EQ(Count(Log, "REFUSED"), 1u) << "sixty refusals, one line a minute";
  EXPECT_EQ(Count(Log, "REFUSED: [IP=<127.0.0.3>,Port=<" + std::to_string(Stranger.Port()) + ">] not in [Access] Peers"),
            1u);
  EXPECT_EQ(Starting(Log, "DISCONNECTED: [ID="), 2u) << "a refused sender's going is no peer's";
  const Bytes Heard = RawRecv(B);
  EXPECT_NE(Heard.find(Bytes(160, 'a')), Bytes::npos);
  EXPECT_NE(Heard.find(Bytes(160, 'b')), Bytes::npos);
  EXPECT_EQ(Heard.find('z'), Bytes::npos) << "nothing of the stranger was heard";
}

TEST(Access, AnIPv6SenderOutsideAnIPv4ListIsRefused) {
  const uint16_t Port = FreeUdpPort(), Tcp = FreeTcpPort();
  TBridge B(Ini("::", Port, "127.0.0.1", Tcp, "", "[Access]\r\nPeers=127.0.0.0/8\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  TUdp V6("::1"), V4("127.9.8.7");
  for (uint16_t I = 0; I < 20; ++I) {
    V6.Send("::1", Port, Rtp(I, 1, 'x'));
    V4.Send("127.0.0.1", Port, Rtp(I, 2, 'y'));
    std::this_thread::sleep_for(20ms);  // pacing
  }
  EXPECT_TRUE(V6.Drain(300ms).empty());
  EXPECT_FALSE(V4.Receive().empty());
  Stop(B);
  const auto Log = B.LogLines();
  EXPECT_EQ(Count(Log, "REFUSED: [IP=<::1>,Port=<" + std::to_string(V6.Port()) + ">] not in [Access] Peers"), 1u);
  EXPECT_EQ(Starting(Log, "CONNECTED: [ID=2,IP=<127.9.8.7>,Port=<" + std::to_string(V4.Port()) + ">]"), 1u);
}

TEST(Access, ARecordingClientOutsideItsListIsClosedAtOnceAndHearsNothing) {
  const uint16_t Port = FreeUdpPort(), Tcp = FreeTcpPort();
  TBridge B(Ini("127.0.0.1", Port, "::", Tcp, "", "[Access]\r\nRecordingClients=::1\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  TTalker Peer("127.0.0.1", "127.0.0.1", Port, 'p');

  asio::io_context Io;
  tcp::socket Allowed(Io), Refused(Io);
  Allowed.connect(tcp::endpoint(Ip("::1"), Tcp));
  Refused.connect(tcp::endpoint(Ip("127.0.0.1"), Tcp));
  const uint16_t RefusedPort = Refused.local_endpoint().port();
  // The refused one reads the end of the stream, without a byte before it.
  char Buf[4096];
  std::error_code Ec;
  const size_t Got = Refused.read_some(asio::buffer(Buf), Ec);
  EXPECT_EQ(Got, 0u);
  EXPECT_EQ(Ec, asio::error::eof);
  // The allowed one hears the call.
  size_t Heard = 0;
  std::error_code ReadEc;
  while (Heard < 4000 && !ReadEc) Heard += asio::read(Allowed, asio::buffer(Buf, 2000), ReadEc);
  EXPECT_GE(Heard, 4000u) << ReadEc.message();
  Peer.Finish();
  Stop(B);
  const auto Log = B.LogLines();
  EXPECT_EQ(Count(Log, "REFUSED RECORDING CLIENT: [IP=<127.0.0.1>,Port=<" + std::to_string(RefusedPort) +
                           ">] not in [Access] RecordingClients"),
            1u);
  EXPECT_EQ(Count(Log, "Mixer TCPConnect happend: ::1:"), 1u);
  EXPECT_EQ(Count(Log, "Mixer TCPConnect happend: 127.0.0.1:"), 0u);
}

// What a flood of forged sources draws, and what the one real peer keeps.
struct TFlood {
  uint64_t BytesToStrangers = 0;
  uint64_t DatagramsToStrangers = 0;
  size_t StrangersServed = 0;
  double Seconds = 0;
};

TFlood Flood(const std::string& Access, size_t Datagrams, std::chrono::milliseconds Over) {
  const uint16_t Port = FreeUdpPort(), Tcp = FreeTcpPort();
  TBridge B(Ini("127.0.0.1", Port, "127.0.0.1", Tcp, "SaveWavData=1\r\n", Access));
  B.Start();
  EXPECT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  TTalker Peer("127.0.0.1", "127.0.0.1", Port, 'L');
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return !Peer.Received().empty(); })) << "the real peer is served";

  // Up to 1000 forged sources, each on an address of its own in 127.1.0.0/16.
  const size_t Sources = std::min<size_t>(Datagrams, 1000);
  std::vector<std::unique_ptr<TUdp>> Strangers;
  for (size_t I = 0; I < Sources; ++I)
    Strangers.push_back(std::make_unique<TUdp>(
        ("127.1." + std::to_string(I / 250) + "." + std::to_string(I % 250 + 1)).c_str()));
  TFlood R;
  std::vector<uint64_t> PerStranger(Sources);
  auto DrainStrangers = [&] {
    for (size_t I = 0; I < Sources; ++I)
      for (Bytes P = Strangers[I]->Poll(); !P.empty(); P = Strangers[I]->Poll()) {
        R.BytesToStrangers += P.size();
        ++R.DatagramsToStrangers;
        PerStranger[I] += P.size();
      }
  };
  const Bytes Forged(20, '\0');  // a start datagram: the least a sender can send
  const auto Start = TClock::now();
  for (size_t I = 0; I < Datagrams; ++I) {
    Strangers[I % Sources]->Send("127.0.0.1", Port, Forged);
    const auto Due = Start + Over * (I + 1) / Datagrams;
    while (TClock::now() < Due) {
      DrainStrangers();
      std::this_thread::sleep_for(1ms);  // pacing
    }
  }
  // Until every stranger the bridge took for a peer has timed out: all peers
  // but the real one are gone.
  EXPECT_TRUE(TestSupport::WaitUntil(
      [&] {
        DrainStrangers();
        const auto Log = B.LogLines();
        return Starting(Log, "DISCONNECTED: [ID=") + 1 == Starting(Log, "CONNECTED: [ID=");
      },
      15000))
      << "every stranger timed out";
  DrainStrangers();
  R.Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
  for (uint64_t N : PerStranger) R.StrangersServed += N > 0;

  Peer.Finish();
  Stop(B);
  // The real peer was heard without a gap and heard the bridge throughout.
  const size_t Packets = static_cast<size_t>(R.Seconds * 50);
  ExpectContinuous(Peer.Received(), Packets * 8 / 10);
  Bytes Sent;
  for (uint16_t I = 0; I < Peer.Sent(); ++I) Sent += Bytes(160, 'L');
  const Bytes Heard = RawRecv(B);
  EXPECT_GE(Heard.size() + 160 * 3, Sent.size()) << "every packet of the real peer was taken";
  const auto Log = B.LogLines();
  EXPECT_LE(Count(Log, "REFUSED"), 40u) << "a flood cannot fill the log";
  return R;
}

size_t FloodDatagrams() {
  const char* N = std::getenv("BRENVIC_FLOOD_DATAGRAMS");
  return N && std::atoi(N) > 0 ? static_cast<size_t>(std::atoi(N)) : 1000;
}

TEST(Access, AFloodOfForgedSourcesIsHeldToThePeerLimitsAndTheCallGoesOn) {
  const size_t N = FloodDatagrams();
  const auto Over = N <= 1000 ? 1000ms : std::chrono::milliseconds(N / 10);  // 10 000 a second beyond 1000
  const TFlood R = Flood("", N, Over);
  std::printf("flood without an access list: %zu forged datagrams over %lld ms drew %llu datagrams, %llu bytes, to %zu "
              "strangers (in %.1f s)\n",
              N, static_cast<long long>(Over.count()), static_cast<unsigned long long>(R.DatagramsToStrangers),
              static_cast<unsigned long long>(R.BytesToStrangers), R.StrangersServed, R.Seconds);
  // At most MaxPeers strangers at once, each served while it talks and for the
  // time-out and one check after: 50 packets of 172 bytes a second.
  const double Bound = 16 * 50 * 172 * (std::chrono::duration<double>(Over).count() + 2.0 + 0.3 + 0.5);
  EXPECT_LE(R.StrangersServed, 16u + 10u * static_cast<size_t>(Over.count() / 1000 + 1));
  EXPECT_LE(static_cast<double>(R.BytesToStrangers), Bound);
  EXPECT_GT(R.BytesToStrangers, 0u) << "without a list strangers are peers, within the limits";
}

TEST(Access, WithAnAccessListAFloodDrawsNothing) {
  const TFlood R = Flood("[Access]\r\nPeers=127.0.0.1\r\n", 1000, 1000ms);
  std::printf("flood with Peers=127.0.0.1: 1000 forged datagrams drew %llu bytes\n",
              static_cast<unsigned long long>(R.BytesToStrangers));
  EXPECT_EQ(R.BytesToStrangers, 0u);
}

TEST(Access, RtcpAndForeignPayloadTypesAreNotPlayed) {
  const uint16_t Port = FreeUdpPort(), Tcp = FreeTcpPort();
  TBridge B(Ini("127.0.0.1", Port, "127.0.0.1", Tcp, "SaveWavData=1\r\n", ""));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  TUdp Peer("127.0.0.1");
  Bytes Rtcp = Rtp(0, 0, 'r');
  for (uint16_t I = 0; I < 50; ++I) {
    Peer.Send("127.0.0.1", Port, Rtp(I, 0x1234, 'A'));
    Peer.Send("127.0.0.1", Port, Rtp(I, 0x1234, 'u', 0));   // mu-law
    Peer.Send("127.0.0.1", Port, Rtp(I, 0x1234, 'n', 13));  // comfort noise
    Peer.Send("127.0.0.1", Port, Rtp(I, 0x1234, 'd', 96));  // dynamic
    for (uint8_t Type : {200, 201, 202, 203, 204}) {       // SR, RR, SDES, BYE, APP (RFC 5761)
      Rtcp[1] = static_cast<char>(Type);
      Peer.Send("127.0.0.1", Port, Rtcp);
    }
    std::this_thread::sleep_for(20ms);  // pacing
  }
  EXPECT_FALSE(Peer.Receive().empty());
  Stop(B);
  const Bytes Heard = RawRecv(B);
  EXPECT_GE(Heard.size(), 160u * 40);
  EXPECT_EQ(Heard.find_first_not_of('A'), Bytes::npos) << "only the configured payload type was heard";
  const Bytes Ear = TestSupport::ReadFile(B.Dir() / "ear.raw");
  EXPECT_EQ(Ear.find_first_of("unrd"), Bytes::npos) << "nor played";
  const auto Log = B.LogLines();
  EXPECT_EQ(Count(Log, "RTP PAYLOAD TYPE 0 NOT PLAYED: [ID=1] (PayloadType=8)"), 1u);
  EXPECT_EQ(Count(Log, "NOT PLAYED"), 1u) << "once per source; RTCP is ignored without a word";
  EXPECT_EQ(Count(Log, "RTP SSRC CHANGED!"), 0u) << "RTCP took no part in the stream's tracking";
}

TEST(Access, APeerThatStaysKeepsTheBridgesIdentityWhileStrangersComeAndGo) {
  const uint16_t Port = FreeUdpPort(), Tcp = FreeTcpPort();
  TBridge B(Ini("127.0.0.1", Port, "127.0.0.1", Tcp, "DisconnectTimeOut=400\r\n", ""));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  auto ComeAndGo = [&](int Id) {
    TUdp Stranger(("127.0.0." + std::to_string(20 + Id)).c_str());
    Stranger.Send("127.0.0.1", Port, Bytes(20, '\0'));  // a peer, if a silent one
    return B.WaitForLog("DISCONNECT_INACTIVE [" + std::to_string(Id) + "]", 3s);
  };
  TTalker Peer("127.0.0.1", "127.0.0.1", Port, 'k');
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return !Peer.Received().empty(); })) << "the peer is served";
  for (int Id = 2; Id <= 5; ++Id) ASSERT_TRUE(ComeAndGo(Id));
  Peer.Finish();
  ExpectContinuous(Peer.Received(), 50);
  EXPECT_TRUE(B.WaitForLog("CONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) + ">]", 1s));
  EXPECT_FALSE(B.WaitForLog("RTP SSRC CHANGED!", 0s)) << "the peer that stayed is still the first stream";

  // The next conversation still starts afresh: the peer's own time-out renews
  // the identity once it is the last to go.
  ASSERT_TRUE(B.WaitForLog("DISCONNECT_INACTIVE [1]", 3s));
  TUdp Next("127.0.0.1");
  Next.Send("127.0.0.1", Port, Rtp(0, 0xA11CE, 'n'));  // the same remote SSRC: no adoption
  const Bytes First = Next.Receive();
  ASSERT_FALSE(First.empty());
  const uint32_t NextSsrc = SsrcOf(First);
  EXPECT_NE(NextSsrc, SsrcOf(Peer.Received().front()));
  Stop(B);
}

}  // namespace
