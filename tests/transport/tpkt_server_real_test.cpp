// TTPKTServer over the real transport library and loopback sockets.

#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/sysmsg.h"
#include "test_support.h"
#include "transport/tpkt_server.h"

namespace {

using asio::ip::tcp;
using asio::ip::udp;

// Collects what the events report and lets the test wait for it.
struct TSeen {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::string> Events;  // guarded by Lock

  void Add(const std::string& E) {
    {
      std::lock_guard<std::mutex> Guard(Lock);
      Events.push_back(E);
    }
    Changed.notify_all();
  }
  bool WaitSize(size_t N) {
    std::unique_lock<std::mutex> Guard(Lock);
    return Changed.wait_for(Guard, std::chrono::seconds(5), [&] { return Events.size() >= N; });
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> Guard(Lock);
    return Events;
  }
};

void Watch(TTPKTServer& S, TSeen& Seen) {
  S.OnConnect() = [&Seen](TTPKTServer*, int32_t, const std::string& A, int32_t) { Seen.Add("connect " + A); };
  S.OnDisconnect() = [&Seen](TTPKTServer*, int32_t, const std::string& A, int32_t) { Seen.Add("gone " + A); };
  S.OnClientData() = [&Seen](TTPKTServer*, int32_t, const void* D, uint32_t N) {
    Seen.Add("data " + std::string(static_cast<const char*>(D), N));
  };
}

uint16_t FreePort(bool Udp) {
  asio::io_context Io;
  const auto Any = asio::ip::make_address("127.0.0.1");
  if (Udp) return udp::socket(Io, udp::endpoint(Any, 0)).local_endpoint().port();
  return tcp::acceptor(Io, tcp::endpoint(Any, 0)).local_endpoint().port();
}

// Starts on a free loopback port (retrying if someone took it meanwhile).
void StartOnFreePort(TTPKTServer& S, bool Udp) {
  for (int Attempt = 0;; ++Attempt) {
    S.SetPort(FreePort(Udp));
    try {
      S.SetActive(true);
      return;
    } catch (const ETPKTServerError&) {
      if (Attempt == 20) throw;
    }
  }
}

// A started UDP object on the heap, for the tests that free it from inside its
// own callback.
TTPKTServer* NewStartedUdp() {
  auto S = std::make_unique<TTPKTServer>();
  S->SetListenIP("127.0.0.1");
  S->SetLayer("UDP");
  StartOnFreePort(*S, true);
  return S.release();
}

TEST(TPKTServerReal, UdpAndTcpObjectsSideBySide) {
  TTPKTServer::SetTransportLibraryOverride("");
  TSeen SeenU, SeenT;
  auto U = std::make_unique<TTPKTServer>();
  auto T = std::make_unique<TTPKTServer>();
  U->SetListenIP("127.0.0.1");
  U->SetLayer("UDP");
  T->SetListenIP("127.0.0.1,NOTPKT=YES");
  Watch(*U, SeenU);
  Watch(*T, SeenT);
  StartOnFreePort(*U, true);
  StartOnFreePort(*T, false);
  EXPECT_NE(U->ServerId(), T->ServerId());

  asio::io_context Io;
  udp::socket Peer(Io, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  Peer.send_to(asio::buffer("rtp", 3), udp::endpoint(asio::ip::make_address("127.0.0.1"), U->Port()));
  ASSERT_TRUE(SeenU.WaitSize(2));
  EXPECT_EQ(SeenU.Get(), (std::vector<std::string>{"connect 127.0.0.1", "data rtp"}));
  EXPECT_EQ(U->ClientCount(), 1);

  tcp::socket Client(Io);
  Client.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), T->Port()));
  ASSERT_TRUE(SeenT.WaitSize(1));
  EXPECT_EQ(T->ClientCount(), 1);
  EXPECT_EQ(SeenU.Get().size(), 2u);

  // Sends reach the peers.
  ASSERT_TRUE(T->SendToAll("frame", 5));
  char Buf[5];
  asio::read(Client, asio::buffer(Buf));
  EXPECT_EQ(std::string(Buf, 5), "frame");
  ASSERT_TRUE(U->SendTo("127.0.0.1", Peer.local_endpoint().port(), "back", 4));
  char Dgram[16];
  EXPECT_EQ(Peer.receive(asio::buffer(Dgram)), 4u);
  EXPECT_FALSE(T->SendTo("127.0.0.1", Peer.local_endpoint().port(), "x", 1));  // not a UDP server

  // The silent peer is dropped by the sweep and reported on the library's thread.
  std::string Ids;
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return U->DisconnectIdleClients(10, Ids); }));
  EXPECT_EQ(Ids, "1");
  ASSERT_TRUE(SeenU.WaitSize(3));
  EXPECT_EQ(SeenU.Get()[2], "gone 127.0.0.1");
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return U->ClientCount() == 0; }));  // removed after the handler

  // Stopping reports the TCP client gone; the client sees the close.
  T->SetActive(false);
  ASSERT_TRUE(SeenT.WaitSize(2));
  EXPECT_EQ(SeenT.Get()[1], "gone 127.0.0.1");
  std::error_code Ec;
  Client.read_some(asio::buffer(Buf), Ec);
  EXPECT_TRUE(Ec);
  U->SetActive(false);
  U.reset();
  T.reset();
}

TEST(TPKTServerReal, APortInUseNamesTheSystemsCause) {
  TTPKTServer::SetTransportLibraryOverride("");
  asio::io_context Io;
  tcp::acceptor Taken(Io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  TTPKTServer S;
  S.SetListenIP("127.0.0.1,NOTPKT=YES");
  S.SetPort(Taken.local_endpoint().port());
  const int Code = asio::error::address_in_use;
  try {
    S.SetActive(true);
    FAIL() << "started on a port in use";
  } catch (const ETPKTServerError& E) {
    EXPECT_EQ(E.Message(), "Cannot start server. " + Platform::SystemMessage(Code) + "(" + std::to_string(Code) + ")");
  }
  EXPECT_FALSE(S.Active());
}

TEST(TPKTServerReal, TheLastObjectFreedFromInsideItsOwnCallback) {
  TTPKTServer::SetTransportLibraryOverride("");
  TTPKTServer* S = NewStartedUdp();
  const uint16_t Port = static_cast<uint16_t>(S->Port());
  std::atomic<bool> Freed{false};
  S->OnClientData() = [&Freed](TTPKTServer* Sender, int32_t, const void*, uint32_t) {
    delete Sender;  // stops the server and lets go of the library, from its own thread
    Freed = true;
  };
  asio::io_context Io;
  udp::socket Peer(Io, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  Peer.send_to(asio::buffer("x", 1), udp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return Freed.load(); }));
  // A new object works as before (the library was kept for it).
  TSeen Seen;
  TTPKTServer Next;
  Next.SetListenIP("127.0.0.1");
  Next.SetLayer("UDP");
  Watch(Next, Seen);
  StartOnFreePort(Next, true);
  Peer.send_to(asio::buffer("y", 1), udp::endpoint(asio::ip::make_address("127.0.0.1"), Next.Port()));
  ASSERT_TRUE(Seen.WaitSize(2));
  Next.SetActive(false);
}

// The library's start joins the network thread that the freed object retired;
// that thread is still leaving the callback while another thread starts a
// server. A deadlock there shows as a failure, not as a hung test run.
TEST(TPKTServerReal, AStartWhileTheLastObjectIsFreedFromItsOwnCallback) {
  TTPKTServer::SetTransportLibraryOverride("");
  TTPKTServer* S = NewStartedUdp();
  const uint16_t Port = static_cast<uint16_t>(S->Port());
  std::promise<void> Freed;
  S->OnClientData() = [&Freed](TTPKTServer* Sender, int32_t, const void*, uint32_t) {
    delete Sender;
    Freed.set_value();
    Platform::SleepMs(200);  // holds the callback open while the next start runs; waits for nothing
  };
  auto Started = std::async(std::launch::async, [Wait = Freed.get_future()]() mutable {
    Wait.wait();
    std::unique_ptr<TTPKTServer> Next(NewStartedUdp());
    Next->SetActive(false);
  });
  asio::io_context Io;
  udp::socket Peer(Io, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  Peer.send_to(asio::buffer("x", 1), udp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
  if (Started.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the start and the callback's end wait for each other";
    std::fflush(stdout);
    std::_Exit(1);  // the deadlocked threads can never be joined
  }
  Started.get();
}

}  // namespace
