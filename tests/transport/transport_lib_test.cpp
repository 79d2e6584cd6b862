// The transport library against real sockets on the loopback interface.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>
#include <set>

#include "transport_lib.h"

namespace {

using namespace TransportTest;
using TestSupport::WaitUntil;
using asio::ip::tcp;
using asio::ip::udp;

class TransportLib : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().Loaded()) << "transport library not found beside the test";
    TRecorder::Get().Clear();
  }
  void TearDown() override {
    TRecorder::Get().SetHook(nullptr);
    for (const int32_t Id : FStarted) Lib().Stop(Id);
    TRecorder::Get().Clear();
  }

  TStarted Start(const std::string& Options, bool Udp, const char* Address = "127.0.0.1") {
    const TStarted S = StartServer(Options, Udp, Address);
    if (S.Id != -1) FStarted.push_back(S.Id);
    return S;
  }
  void Stop(int32_t Id) {
    EXPECT_EQ(Lib().Stop(Id), 0);
    FStarted.erase(std::remove(FStarted.begin(), FStarted.end(), Id), FStarted.end());
  }

  udp::socket UdpPeer() { return udp::socket(FIo, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0)); }
  tcp::socket TcpClient(uint16_t Port) {
    tcp::socket S(FIo);
    S.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
    return S;
  }

  asio::io_context FIo;
  std::vector<int32_t> FStarted;
};

TEST_F(TransportLib, UdpPeersAreLearnedAndServedAlongsideATcpServer) {
  const TStarted U = Start(",LAYER=UDP", true);
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(U.Id, -1);
  ASSERT_NE(T.Id, -1);
  EXPECT_NE(U.Id, T.Id);
  const udp::endpoint Server(asio::ip::make_address("127.0.0.1"), U.Port);

  // Three peers, two datagrams each: one connect per peer, data whole and in order.
  std::vector<udp::socket> Peers;
  for (int I = 0; I < 3; ++I) Peers.push_back(UdpPeer());
  for (int Round = 0; Round < 2; ++Round)
    for (size_t I = 0; I < Peers.size(); ++I)
      Peers[I].send_to(asio::buffer(Bytes(100 + I, static_cast<uint8_t>(Round * 10 + I))), Server);
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Data, 6));
  const auto Connects = TRecorder::Get().Calls(U.Id, TCall::Connect);
  ASSERT_EQ(Connects.size(), 3u);
  std::set<int32_t> Ids;
  for (size_t I = 0; I < 3; ++I) {
    EXPECT_EQ(Connects[I].Address, "127.0.0.1");
    Ids.insert(Connects[I].Client);
  }
  EXPECT_EQ(Ids.size(), 3u);
  std::set<int32_t> Ports;
  for (auto& C : Connects) Ports.insert(C.Port);
  for (auto& P : Peers) EXPECT_TRUE(Ports.count(P.local_endpoint().port()));
  for (auto& C : TRecorder::Get().Calls(U.Id, TCall::Data)) EXPECT_TRUE(Ids.count(C.Client));
  const auto Data = TRecorder::Get().Calls(U.Id, TCall::Data);
  EXPECT_EQ(Data[0].Bytes, Bytes(100, 0));
  EXPECT_EQ(Data[5].Bytes, Bytes(102, 12));
  // Connect comes before the first data of that client, on the library's thread.
  for (auto& C : Connects) EXPECT_NE(C.Thread, std::this_thread::get_id());
  EXPECT_TRUE(TRecorder::Get().Calls(T.Id).empty());

  // SendToAll reaches every peer; SendTo reaches an address that is no client.
  const std::string Out = Bytes(160, 42);
  ASSERT_EQ(Lib().SendToAll(U.Id, Out.data(), static_cast<int32_t>(Out.size())), 0);
  for (auto& P : Peers) {
    std::string In;
    ASSERT_TRUE(ReceiveDatagram(P, In));
    EXPECT_EQ(In, Out);
  }
  udp::socket Stranger = UdpPeer();
  const int32_t StrangerPort = Stranger.local_endpoint().port() | 0x7FFF0000;  // low 16 bits count
  ASSERT_EQ(Lib().SendTo(U.Id, "127.0.0.1", StrangerPort, "hello", 5), 0);
  std::string Hello;
  udp::endpoint From;
  ASSERT_TRUE(ReceiveDatagram(Stranger, Hello, 5000, &From));
  EXPECT_EQ(Hello, "hello");
  EXPECT_EQ(From.port(), U.Port);  // replies come from the listening port
  EXPECT_TRUE(TRecorder::Get().Calls(U.Id, TCall::ServerData).empty());

  // A TCP client of the other server shows up there only.
  tcp::socket Client = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 1));
  EXPECT_EQ(TRecorder::Get().Calls(U.Id, TCall::Connect).size(), 3u);
  EXPECT_EQ(Lib().SendTo(T.Id, "127.0.0.1", StrangerPort, "x", 1), -1);  // no datagrams on TCP
}

// Datagrams to many peers leave in batches: every peer gets exactly one, across
// the batch boundary too.
TEST_F(TransportLib, UdpSendToAllReachesEveryPeerOfAMultiBatchList) {
  const TStarted U = Start(",LAYER=UDP", true);
  ASSERT_NE(U.Id, -1);
  const udp::endpoint Server(asio::ip::make_address("127.0.0.1"), U.Port);
  std::vector<udp::socket> Peers;
  for (int I = 0; I < 130; ++I) {
    Peers.push_back(UdpPeer());
    Peers.back().send_to(asio::buffer("hi", 2), Server);
  }
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Connect, Peers.size()));
  ASSERT_EQ(Lib().SendToAll(U.Id, "all", 3), 0);
  for (auto& P : Peers) {
    std::string In;
    ASSERT_TRUE(ReceiveDatagram(P, In));
    EXPECT_EQ(In, "all");
    EXPECT_FALSE(ReceiveDatagram(P, In, 0));
  }
}

TEST_F(TransportLib, UdpDisconnectForgetsThePeerUntilItTalksAgain) {
  const TStarted U = Start(",LAYER=UDP", true);
  ASSERT_NE(U.Id, -1);
  const udp::endpoint Server(asio::ip::make_address("127.0.0.1"), U.Port);
  udp::socket A = UdpPeer(), B = UdpPeer();
  A.send_to(asio::buffer("a1", 2), Server);
  B.send_to(asio::buffer("b1", 2), Server);
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Data, 2));
  const auto Connects = TRecorder::Get().Calls(U.Id, TCall::Connect);
  const int32_t IdA = Connects[0].Client, IdB = Connects[1].Client;

  ASSERT_EQ(Lib().Disconnect(U.Id, IdA), 0);
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Disconnect, 1));
  const auto Gone = TRecorder::Get().Calls(U.Id, TCall::Disconnect)[0];
  EXPECT_EQ(Gone.Client, IdA);
  EXPECT_EQ(Gone.Address, "127.0.0.1");
  EXPECT_EQ(Gone.Port, A.local_endpoint().port());
  EXPECT_EQ(Lib().Disconnect(U.Id, IdA), -1);  // no such client any more

  // Only B is served now.
  ASSERT_EQ(Lib().SendToAll(U.Id, "all", 3), 0);
  std::string In;
  ASSERT_TRUE(ReceiveDatagram(B, In));
  EXPECT_FALSE(ReceiveDatagram(A, In, 200));

  // A talks again and is a new client.
  A.send_to(asio::buffer("a2", 2), Server);
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Connect, 3));
  const int32_t NewA = TRecorder::Get().Calls(U.Id, TCall::Connect)[2].Client;
  EXPECT_NE(NewA, IdA);
  EXPECT_NE(NewA, IdB);
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Data, 3));
  EXPECT_EQ(TRecorder::Get().Calls(U.Id, TCall::Data)[2].Client, NewA);

  // Stopping reports the clients left.
  Stop(U.Id);
  const auto Calls = TRecorder::Get().Calls(U.Id, TCall::Disconnect);
  ASSERT_EQ(Calls.size(), 3u);
  EXPECT_EQ(Lib().SendToAll(U.Id, "x", 1), -1);
}

TEST_F(TransportLib, TcpClientsJoinAndLeaveWithTpktFramingBothWays) {
  const TStarted T = Start("", false);
  ASSERT_NE(T.Id, -1);
  tcp::socket C1 = TcpClient(T.Port), C2 = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 2));
  const auto Connects = TRecorder::Get().Calls(T.Id, TCall::Connect);
  EXPECT_EQ(Connects[0].Address, "127.0.0.1");
  EXPECT_NE(Connects[0].Client, Connects[1].Client);

  // Out: each SendToAll is one TPKT packet to every client.
  ASSERT_EQ(Lib().SendToAll(T.Id, "hello", 5), 0);
  ASSERT_EQ(Lib().SendToAll(T.Id, "", 0), 0);
  for (tcp::socket* C : {&C1, &C2}) {
    std::string In;
    ASSERT_TRUE(ReadExactly(*C, 13, In));
    EXPECT_EQ(In, TpktPacket("hello") + TpktPacket(""));
  }
  const std::string Big(65532, 'x');  // one byte more than a TPKT packet holds
  EXPECT_EQ(Lib().SendToAll(T.Id, Big.data(), static_cast<int32_t>(Big.size())), -1);

  // In: packets cut at odd places arrive whole, one callback each.
  const int32_t Id1 = Connects[C1.local_endpoint().port() == Connects[0].Port ? 0 : 1].Client;
  const std::string Stream = TpktPacket("first") + TpktPacket(Bytes(3000, 1)) + TpktPacket("third");
  for (size_t Pos = 0; Pos < Stream.size(); Pos += 3) {
    asio::write(C1, asio::buffer(Stream.substr(Pos, 3)));
    // Pacing, now and then: the pieces reach the server in reads of their own.
    if (Pos % 300 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Data, 3));
  const auto Data = TRecorder::Get().Calls(T.Id, TCall::Data);
  ASSERT_EQ(Data.size(), 3u);
  EXPECT_EQ(Data[0].Bytes, "first");
  EXPECT_EQ(Data[1].Bytes, Bytes(3000, 1));
  EXPECT_EQ(Data[2].Bytes, "third");
  for (auto& D : Data) EXPECT_EQ(D.Client, Id1);

  // A client that closes is reported gone (once a write to it has failed);
  // DisconnectClient closes the other.
  C1.close();
  ASSERT_EQ(Lib().SendToClient(T.Id, Id1, "x", 1), 0);  // not known to be gone yet
  ASSERT_TRUE(WaitUntil([&] {
    Lib().SendToClient(T.Id, Id1, "x", 1);  // fails once the library has let it go
    return !TRecorder::Get().Calls(T.Id, TCall::Disconnect).empty();
  }));
  EXPECT_EQ(TRecorder::Get().Calls(T.Id, TCall::Disconnect)[0].Client, Id1);
  const int32_t Id2 = Connects[0].Client == Id1 ? Connects[1].Client : Connects[0].Client;
  ASSERT_EQ(Lib().Disconnect(T.Id, Id2), 0);
  EXPECT_TRUE(WaitClosed(C2));
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Disconnect, 2));
  EXPECT_EQ(TRecorder::Get().Calls(T.Id, TCall::Disconnect)[1].Client, Id2);

  // A stream that is not TPKT gets its client dropped.
  tcp::socket C3 = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 3));
  asio::write(C3, asio::buffer("GET / HTTP/1.0\r\n\r\n", 18));
  EXPECT_TRUE(WaitClosed(C3));
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Disconnect, 3));
  EXPECT_EQ(TRecorder::Get().Calls(T.Id, TCall::Data).size(), 3u);
}

TEST_F(TransportLib, NoTpktPassesBytesUnframed) {
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(T.Id, -1);
  tcp::socket C = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 1));
  const std::string Frame = Bytes(2000, 9);
  ASSERT_EQ(Lib().SendToAll(T.Id, Frame.data(), 2000), 0);
  ASSERT_EQ(Lib().SendToClient(T.Id, TRecorder::Get().Calls(T.Id, TCall::Connect)[0].Client, "abc", 3), 0);
  std::string In;
  ASSERT_TRUE(ReadExactly(C, 2003, In));
  EXPECT_EQ(In, Frame + "abc");
  asio::write(C, asio::buffer(std::string("\x03\x00raw", 5)));
  ASSERT_TRUE(TRecorder::Get().WaitFor(T.Id, [](const std::vector<TCall>& Calls) {
    std::string All;
    for (auto& K : Calls)
      if (K.Kind == TCall::Data) All += K.Bytes;
    return All == std::string("\x03\x00raw", 5);
  }));
}

// A client that reads everything on a thread of its own and checks that byte
// I of the stream is the number of its frame (I / FrameSize).
class TFrameReader {
public:
  TFrameReader(tcp::socket& Socket, size_t FrameSize) : FSocket(Socket), FFrameSize(FrameSize) {
    FThread = std::thread([this] { Run(); });
  }
  ~TFrameReader() {
    FStop = true;
    FThread.join();
  }
  TFrameReader(const TFrameReader&) = delete;
  TFrameReader& operator=(const TFrameReader&) = delete;

  size_t Received() const { return FReceived; }
  bool Intact() const { return FIntact; }
  bool WaitFor(size_t Bytes, int TimeoutMs = 10000) const {
    return WaitUntil([&] { return FReceived >= Bytes; }, TimeoutMs);
  }

private:
  void Run() {
    std::vector<char> Buf(65536);
    size_t Pos = 0;
    std::error_code Ec;
    // Never blocked in a read: a shutdown does not end one everywhere.
    FSocket.non_blocking(true);
    while (!FStop) {
      const size_t N = FSocket.read_some(asio::buffer(Buf), Ec);
      if (Ec == asio::error::would_block) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // the reader's pause between polls
        continue;
      }
      if (Ec) break;
      // The first byte of every frame and the last one read tell the order.
      for (size_t I = (FFrameSize - Pos % FFrameSize) % FFrameSize; I < N; I += FFrameSize)
        if (Buf[I] != static_cast<char>((Pos + I) / FFrameSize)) FIntact = false;
      if (Buf[N - 1] != static_cast<char>((Pos + N - 1) / FFrameSize)) FIntact = false;
      Pos += N;
      FReceived += N;
    }
  }

  tcp::socket& FSocket;
  const size_t FFrameSize;
  std::atomic<size_t> FReceived{0};
  std::atomic<bool> FIntact{true};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

TEST_F(TransportLib, AClientThatNeverReadsIsDroppedWhileOthersKeepReceiving) {
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(T.Id, -1);
  tcp::socket Reader = TcpClient(T.Port), Stalled = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 2));
  const uint16_t StalledPort = Stalled.local_endpoint().port();
  const size_t FrameSize = 4000;
  TFrameReader Reading(Reader, FrameSize);

  // Keep sending until the stalled client has been dropped. The sender stays at
  // most a few frames ahead of the reader, well inside the reader's bound.
  std::vector<char> Frame(FrameSize);
  size_t Sent = 0;
  auto Longest = std::chrono::steady_clock::duration::zero();
  for (int I = 0; I < 20000 && TRecorder::Get().Calls(T.Id, TCall::Disconnect).empty(); ++I) {
    std::fill(Frame.begin(), Frame.end(), static_cast<char>(I));
    const auto T0 = std::chrono::steady_clock::now();
    ASSERT_EQ(Lib().SendToAll(T.Id, Frame.data(), static_cast<int32_t>(FrameSize)), 0);
    Longest = std::max(Longest, std::chrono::steady_clock::now() - T0);
    Sent += FrameSize;
    ASSERT_TRUE(WaitUntil([&] { return Sent - Reading.Received() <= 4 * FrameSize; })) << "the reader got stuck";
  }
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Disconnect, 1));
  const auto Gone = TRecorder::Get().Calls(T.Id, TCall::Disconnect);
  ASSERT_EQ(Gone.size(), 1u);
  EXPECT_EQ(Gone[0].Port, StalledPort);
  EXPECT_EQ(Lib().DroppedSlow(T.Id), 1u);
  EXPECT_LT(Longest, std::chrono::seconds(1));  // the sender was never held up

  // The reader got every byte, in order, and keeps receiving.
  const std::string Tail(1000, static_cast<char>(Sent / FrameSize));
  ASSERT_EQ(Lib().SendToAll(T.Id, Tail.data(), 1000), 0);
  Sent += 1000;
  EXPECT_TRUE(Reading.WaitFor(Sent));
  EXPECT_EQ(Reading.Received(), Sent);
  EXPECT_TRUE(Reading.Intact());
}

// At ten times the recording stream's rate (16000 bytes a second) a client
// that never reads is dropped within a second or two: the system may not hold
// megabytes for it first.
TEST_F(TransportLib, AStalledClientIsDroppedWithinSeconds) {
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(T.Id, -1);
  tcp::socket Stalled = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 1));
  const std::string Frame = Bytes(4000, 5);
  const auto T0 = std::chrono::steady_clock::now();
  const auto Limit = std::chrono::seconds(5);
  size_t Sent = 0;
  while (TRecorder::Get().Calls(T.Id, TCall::Disconnect).empty() && std::chrono::steady_clock::now() - T0 < Limit) {
    ASSERT_EQ(Lib().SendToAll(T.Id, Frame.data(), 4000), 0);
    Sent += 4000;
    std::this_thread::sleep_until(T0 + std::chrono::milliseconds(25 * Sent / 4000));  // pacing
  }
  const auto Took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - T0);
  std::cout << "stalled client dropped after " << Sent << " bytes, " << Took.count() << " ms\n";
  EXPECT_LT(Took, std::chrono::seconds(4));
}

// A burst handed over faster than any network thread writes (a backlog flushed
// after a stall): a client that reads as fast as it can gets all of it; only
// the stalled one is dropped.
TEST_F(TransportLib, ABurstReachesAReadingClientWhole) {
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(T.Id, -1);
  tcp::socket Reader = TcpClient(T.Port), Stalled = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 2));
  const uint16_t StalledPort = Stalled.local_endpoint().port();
  const size_t FrameSize = 2000, Frames = 8000;
  TFrameReader Reading(Reader, FrameSize);
  std::vector<char> Frame(FrameSize);
  for (size_t I = 0; I < Frames; ++I) {
    std::fill(Frame.begin(), Frame.end(), static_cast<char>(I));
    ASSERT_EQ(Lib().SendToAll(T.Id, Frame.data(), static_cast<int32_t>(FrameSize)), 0);
  }
  EXPECT_TRUE(Reading.WaitFor(Frames * FrameSize));
  EXPECT_EQ(Reading.Received(), Frames * FrameSize);
  EXPECT_TRUE(Reading.Intact());
  // The stalled one goes even though nothing more is sent.
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Disconnect, 1));
  const auto Gone = TRecorder::Get().Calls(T.Id, TCall::Disconnect);
  ASSERT_EQ(Gone.size(), 1u);
  EXPECT_EQ(Gone[0].Port, StalledPort);
  EXPECT_EQ(Lib().DroppedSlow(T.Id), 1u);
}

// A client that shuts down its sending side (as "socat -u" does) keeps
// receiving; once it has closed the connection, a write to it fails and ends it.
TEST_F(TransportLib, AHalfClosedClientKeepsReceivingUntilItCloses) {
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(T.Id, -1);
  tcp::socket C = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 1));
  C.shutdown(tcp::socket::shutdown_send);
  // Nothing to wait for: a server that took the end of the stream for a
  // close would let the client go within these 200 ms.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string Frame = Bytes(2000, 3);
  for (int I = 0; I < 3; ++I) {
    ASSERT_EQ(Lib().SendToAll(T.Id, Frame.data(), 2000), 0);
    std::string In;
    ASSERT_TRUE(ReadExactly(C, 2000, In));
    EXPECT_EQ(In, Frame);
  }
  EXPECT_TRUE(TRecorder::Get().Calls(T.Id, TCall::Disconnect).empty());

  C.close();
  EXPECT_TRUE(WaitUntil([&] {
    EXPECT_EQ(Lib().SendToAll(T.Id, Frame.data(), 2000), 0);
    return !TRecorder::Get().Calls(T.Id, TCall::Disconnect).empty();
  }));
  EXPECT_EQ(TRecorder::Get().Calls(T.Id, TCall::Disconnect).size(), 1u);
  EXPECT_EQ(Lib().DroppedSlow(T.Id), 0u);  // it went, but not for slowness
  EXPECT_TRUE(TRecorder::Get().Calls(T.Id, TCall::Data).empty());
  EXPECT_EQ(Lib().DroppedSlow(-5), ~uint64_t{0});  // no such server
}

TEST_F(TransportLib, FailuresReturnMinusOneWithTheSystemsCode) {
  // A port already taken: the system's own "address in use".
  asio::ip::tcp::acceptor Taken(FIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const int32_t TcpPort = Taken.local_endpoint().port();
  Platform::SetLastError(0);
  EXPECT_EQ(Lib().Start("127.0.0.1,NOTPKT=YES", TcpPort, OnServerData, OnClientData, OnConnect, OnDisconnect), -1);
  EXPECT_EQ(Platform::LastError(), static_cast<int>(asio::error::address_in_use));
  udp::socket TakenUdp = UdpPeer();
  const int32_t UdpPort = TakenUdp.local_endpoint().port();
  Platform::SetLastError(0);
  EXPECT_EQ(Lib().Start("127.0.0.1,LAYER=UDP", UdpPort, OnServerData, OnClientData, OnConnect, OnDisconnect), -1);
  EXPECT_EQ(Platform::LastError(), static_cast<int>(asio::error::address_in_use));

  // Parameters outside the grammar, unknown servers and clients.
  const int Invalid = asio::error::invalid_argument;
  for (const char* Bad : {"127.0.0.1,LAYER=SCTP", "127.0.0.1,NOTPKT", "127.0.0.1,COLOR=RED", "not-an-address"}) {
    Platform::SetLastError(0);
    EXPECT_EQ(Lib().Start(Bad, 0, OnServerData, OnClientData, OnConnect, OnDisconnect), -1) << Bad;
    EXPECT_EQ(Platform::LastError(), Invalid) << Bad;
  }
  EXPECT_EQ(Lib().Start("127.0.0.1", 70000, OnServerData, OnClientData, OnConnect, OnDisconnect), -1);
  EXPECT_EQ(Lib().Stop(123456), -1);
  EXPECT_EQ(Platform::LastError(), Invalid);
  EXPECT_EQ(Lib().SendToAll(123456, "x", 1), -1);
  const TStarted U = Start(",LAYER=UDP", true);
  ASSERT_NE(U.Id, -1);
  Platform::SetLastError(0);
  EXPECT_EQ(Lib().Disconnect(U.Id, 99), -1);
  EXPECT_EQ(Platform::LastError(), static_cast<int>(asio::error::not_connected));
  EXPECT_EQ(Lib().SendTo(U.Id, "no.such.host.invalid", 9, "x", 1), -1);
  EXPECT_NE(Platform::LastError(), 0);
  EXPECT_EQ(Lib().SendToAll(U.Id, nullptr, 5), -1);
}

TEST_F(TransportLib, Ipv6Loopback) {
  {
    std::error_code Ec;
    udp::socket Probe(FIo);
    Probe.open(udp::v6(), Ec);
    if (!Ec) Probe.bind(udp::endpoint(asio::ip::make_address("::1"), 0), Ec);
    if (Ec) GTEST_SKIP() << "no IPv6 loopback here";
  }
  const TStarted U = Start(",LAYER=UDP", true, "::1");
  ASSERT_NE(U.Id, -1);
  udp::socket Peer(FIo, udp::endpoint(asio::ip::make_address("::1"), 0));
  Peer.send_to(asio::buffer("v6", 2), udp::endpoint(asio::ip::make_address("::1"), U.Port));
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Data, 1));
  EXPECT_EQ(TRecorder::Get().Calls(U.Id, TCall::Connect)[0].Address, "::1");
  ASSERT_EQ(Lib().SendTo(U.Id, "[::1]", Peer.local_endpoint().port(), "back", 4), 0);
  std::string In;
  ASSERT_TRUE(ReceiveDatagram(Peer, In));
  EXPECT_EQ(In, "back");

  const TStarted T = Start("", false, "[::1]");
  ASSERT_NE(T.Id, -1);
  tcp::socket C(FIo);
  C.connect(tcp::endpoint(asio::ip::make_address("::1"), T.Port));
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 1));
  EXPECT_EQ(TRecorder::Get().Calls(T.Id, TCall::Connect)[0].Address, "::1");
}

// ---- concurrency --------------------------------------------------------------

TEST_F(TransportLib, AFloodOfDatagramsArrivesIntactAndInOrder) {
  const TStarted U = Start(",LAYER=UDP", true);
  ASSERT_NE(U.Id, -1);
  const udp::endpoint Server(asio::ip::make_address("127.0.0.1"), U.Port);
  udp::socket Peer = UdpPeer();
  const uint32_t Count = 20000;
  uint32_t Next = 0;
  auto SendNext = [&] {
    std::string D = Bytes(160 + Next % 100, static_cast<uint8_t>(Next));
    std::memcpy(&D[0], &Next, 4);
    Peer.send_to(asio::buffer(D), Server);
    ++Next;
  };
  while (Next < Count) SendNext();
  // Loopback may drop some under load; what arrives is whole and in order.
  // Datagrams go on until one sent after the flood has come: the flood's
  // survivors are all in by then.
  ASSERT_TRUE(WaitUntil([&] {
    SendNext();
    const std::string Last = TRecorder::Get().LastData(U.Id);
    uint32_t Seq = 0;
    if (Last.size() >= 4) std::memcpy(&Seq, Last.data(), 4);
    return Seq >= Count;
  }));
  const auto Data = TRecorder::Get().Calls(U.Id, TCall::Data);
  ASSERT_GT(Data.size(), static_cast<size_t>(Count / 10));
  int64_t Last = -1;
  for (const auto& D : Data) {
    uint32_t Seq;
    std::memcpy(&Seq, D.Bytes.data(), 4);
    std::string Expected = Bytes(160 + Seq % 100, static_cast<uint8_t>(Seq));
    std::memcpy(&Expected[0], &Seq, 4);
    ASSERT_EQ(D.Bytes, Expected);
    ASSERT_GT(static_cast<int64_t>(Seq), Last);
    Last = Seq;
  }
  EXPECT_EQ(TRecorder::Get().Calls(U.Id, TCall::Connect).size(), 1u);
}

TEST_F(TransportLib, StopDuringTrafficEndsTheCallbacks) {
  for (int Round = 0; Round < 3; ++Round) {
    const TStarted U = Start(",LAYER=UDP", true);
    const TStarted T = Start("", false);
    ASSERT_NE(U.Id, -1);
    ASSERT_NE(T.Id, -1);
    std::atomic<bool> Done{false};
    std::thread Flood([&] {
      asio::io_context Io;
      std::vector<udp::socket> Peers;
      for (int I = 0; I < 4; ++I) Peers.emplace_back(Io, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
      const udp::endpoint Server(asio::ip::make_address("127.0.0.1"), U.Port);
      for (int I = 0; !Done; ++I) {
        std::error_code Ec;
        Peers[I % 4].send_to(asio::buffer("flood", 5), Server, 0, Ec);
        if (I % 64 == 0) std::this_thread::yield();
      }
    });
    std::vector<tcp::socket> Clients;
    for (int I = 0; I < 3; ++I) Clients.push_back(TcpClient(T.Port));
    ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 3));
    std::thread Sender([&] {
      const std::string Frame = Bytes(2000, 3);
      while (!Done) {
        Lib().SendToAll(T.Id, Frame.data(), 2000);
        Lib().SendToAll(U.Id, Frame.data(), 200);
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // pacing
      }
    });
    ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Data, 100));

    Stop(U.Id);
    const size_t AfterUdp = TRecorder::Get().Count(U.Id);
    Stop(T.Id);
    const size_t AfterTcp = TRecorder::Get().Count(T.Id);
    // Nothing to wait for: no callback may come in these 100 ms of traffic.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Done = true;
    Flood.join();
    Sender.join();
    EXPECT_EQ(TRecorder::Get().Count(U.Id), AfterUdp);
    EXPECT_EQ(TRecorder::Get().Count(T.Id), AfterTcp);
    // Every client was reported gone by the stop.
    EXPECT_EQ(TRecorder::Get().Calls(T.Id, TCall::Disconnect).size(), 3u);
    EXPECT_EQ(TRecorder::Get().Calls(U.Id, TCall::Disconnect).size(),
              TRecorder::Get().Calls(U.Id, TCall::Connect).size());
    for (auto& C : Clients) EXPECT_TRUE(WaitClosed(C));
  }
}

TEST_F(TransportLib, StopAndDisconnectFromInsideCallbacks) {
  const TStarted U = Start(",LAYER=UDP", true);
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(U.Id, -1);
  ASSERT_NE(T.Id, -1);
  // Shared with the hook, which may outlive a failed test body.
  struct TState {
    std::atomic<int> StopResult{1}, DisconnectResult{1};
    std::atomic<bool> Stopped{false};
  };
  const auto State = std::make_shared<TState>();
  std::atomic<int>& StopResult = State->StopResult;
  std::atomic<int>& DisconnectResult = State->DisconnectResult;
  TRecorder::Get().SetHook([State, U, T](const TCall& C) {
    if (C.Server == T.Id && C.Kind == TCall::Data) State->DisconnectResult = Lib().Disconnect(T.Id, C.Client);
    if (C.Server == U.Id && C.Kind == TCall::Data && !State->Stopped.exchange(true))
      State->StopResult = Lib().Stop(U.Id);
  });

  tcp::socket Client = TcpClient(T.Port);
  asio::write(Client, asio::buffer("bye", 3));
  EXPECT_TRUE(WaitClosed(Client));
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Disconnect, 1));
  ASSERT_TRUE(WaitUntil([&] { return DisconnectResult != 1; }));
  EXPECT_EQ(DisconnectResult, 0);

  udp::socket Peer = UdpPeer();
  for (int I = 0; I < 20; ++I)
    Peer.send_to(asio::buffer("x", 1), udp::endpoint(asio::ip::make_address("127.0.0.1"), U.Port));
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Disconnect, 1));
  // The disconnect is reported from inside the stop, before it returns.
  ASSERT_TRUE(WaitUntil([&] { return StopResult != 1; }));
  EXPECT_EQ(StopResult, 0);
  FStarted.erase(std::remove(FStarted.begin(), FStarted.end(), U.Id), FStarted.end());
  // Nothing to wait for: the rest of the twenty datagrams must draw no
  // callback in these 100 ms.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(TRecorder::Get().Calls(U.Id, TCall::Data).size(), 1u);  // nothing after the stop

  // The other server still works.
  tcp::socket Again = TcpClient(T.Port);
  EXPECT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Connect, 2));
}

TEST_F(TransportLib, TheLastStopFromInsideACallbackLetsTheNextStartWork) {
  const TStarted U = Start(",LAYER=UDP", true);
  ASSERT_NE(U.Id, -1);
  const auto Result = std::make_shared<std::atomic<int>>(1);
  std::atomic<int>& StopResult = *Result;
  TRecorder::Get().SetHook([Result](const TCall& C) {
    if (C.Kind == TCall::Connect) *Result = Lib().Stop(C.Server);
  });
  udp::socket Peer = UdpPeer();
  Peer.send_to(asio::buffer("x", 1), udp::endpoint(asio::ip::make_address("127.0.0.1"), U.Port));
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Disconnect, 1));
  ASSERT_TRUE(WaitUntil([&] { return StopResult != 1; }));
  EXPECT_EQ(StopResult, 0);
  FStarted.clear();
  TRecorder::Get().SetHook(nullptr);

  const TStarted Next = Start(",LAYER=UDP", true);
  ASSERT_NE(Next.Id, -1);
  Peer.send_to(asio::buffer("y", 1), udp::endpoint(asio::ip::make_address("127.0.0.1"), Next.Port));
  ASSERT_TRUE(TRecorder::Get().WaitCount(Next.Id, TCall::Data, 1));
}

}  // namespace

namespace {

// A send made by another thread while the program is still deciding about a new
// client (inside its connect callback) waits for the decision, and a client
// refused there never receives it.
TEST_F(TransportLib, ASendWaitsForTheConnectCallbackAndAClientRefusedThereGetsNothing) {
  const TStarted U = Start(",LAYER=UDP", true);
  const TStarted T = Start(",NOTPKT=YES", false);
  ASSERT_NE(U.Id, -1);
  ASSERT_NE(T.Id, -1);
  using TClock = std::chrono::steady_clock;
  std::vector<std::thread> Senders;
  std::mutex Lock;
  std::vector<TClock::duration> Waited;  // guarded by Lock: from the send's start to its return
  TRecorder::Get().SetHook([&](const TCall& C) {
    if (C.Kind != TCall::Connect) return;
    Senders.emplace_back([&, Server = C.Server] {
      const auto Begin = TClock::now();
      EXPECT_EQ(Lib().SendToAll(Server, "early", 5), 0);
      std::lock_guard<std::mutex> G(Lock);
      Waited.push_back(TClock::now() - Begin);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the program deliberates (a slow callback)
    Lib().Disconnect(C.Server, C.Client);                           // and refuses
  });
  udp::socket Peer = UdpPeer();
  Peer.send_to(asio::buffer("hi", 2), udp::endpoint(asio::ip::make_address("127.0.0.1"), U.Port));
  ASSERT_TRUE(TRecorder::Get().WaitCount(U.Id, TCall::Disconnect, 1));
  tcp::socket Client = TcpClient(T.Port);
  ASSERT_TRUE(TRecorder::Get().WaitCount(T.Id, TCall::Disconnect, 1));
  TRecorder::Get().SetHook(nullptr);
  for (auto& S : Senders) S.join();
  ASSERT_EQ(Waited.size(), 2u);
  for (const auto& W : Waited) EXPECT_GE(W, std::chrono::milliseconds(50)) << "the send waited for the decision";

  std::string In;
  EXPECT_FALSE(ReceiveDatagram(Peer, In, 200)) << In;
  char Buf[16];
  std::error_code Ec;
  EXPECT_EQ(Client.read_some(asio::buffer(Buf), Ec), 0u);
  EXPECT_EQ(Ec, asio::error::eof);
}

}  // namespace
