// TTPKTServer against a stand-in library that fails on demand and lets the
// test fire the callbacks itself.

#include "transport/tpkt_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/paths.h"
#include "platform/sysmsg.h"
#include "test_support.h"
#include "tpkt_transport.h"

namespace {

using TestSupport::WaitUntil;

std::string FakePath(const char* Variant) {
  return Platform::ExeDir() + "testlibs" + Platform::PathDelim() + Variant + Platform::PathDelim() +
         TTPKTServer::TransportLibraryName();
}

// The stand-in's control exports.
class TFake {
public:
  TFake() : FLib(Platform::TDynLib::Load(FakePath("fake_transport"))) {
    Reset = Sym<void(TPKT_CALL*)()>("FakeReset");
    Fail = Sym<void(TPKT_CALL*)(int, int, int32_t)>("FakeFail");
    Calls = Sym<int(TPKT_CALL*)(int)>("FakeCalls");
    SetDisconnectMode = Sym<void(TPKT_CALL*)(int)>("FakeSetDisconnectMode");
    SetStopReports = Sym<void(TPKT_CALL*)(int32_t)>("FakeSetStopReports");
    Last = Sym<int32_t(TPKT_CALL*)(int, char*, int32_t)>("FakeLast");
    DisconnectedFn = Sym<int32_t(TPKT_CALL*)(int32_t*, int32_t)>("FakeDisconnected");
    Fire = Sym<void(TPKT_CALL*)(int, int32_t, int32_t, const char*, int32_t)>("FakeFire");
  }
  TFake(const TFake&) = delete;
  TFake& operator=(const TFake&) = delete;

  bool Loaded() const { return Reset && Fail && Calls && Fire && Last && DisconnectedFn; }
  std::string LastText(int What) {
    char Buf[256] = {};
    Last(What, Buf, sizeof(Buf));
    return Buf;
  }
  std::vector<int32_t> Disconnected() {
    int32_t Ids[64];
    return std::vector<int32_t>(Ids, Ids + DisconnectedFn(Ids, 64));
  }

  void(TPKT_CALL* Reset)() = nullptr;
  void(TPKT_CALL* Fail)(int Op, int Code, int32_t OnlyClient) = nullptr;
  int(TPKT_CALL* Calls)(int Op) = nullptr;
  void(TPKT_CALL* SetDisconnectMode)(int Mode) = nullptr;
  void(TPKT_CALL* SetStopReports)(int32_t ClientId) = nullptr;
  int32_t(TPKT_CALL* Last)(int What, char* Buf, int32_t Size) = nullptr;
  int32_t(TPKT_CALL* DisconnectedFn)(int32_t* Ids, int32_t Max) = nullptr;
  void(TPKT_CALL* Fire)(int Kind, int32_t ServerId, int32_t ClientId, const char* Text, int32_t Value) = nullptr;

  enum { Data = 0, ClientData = 1, Connect = 2, Disconnect = 3 };

private:
  template <class T>
  T Sym(const char* Name) {
    return reinterpret_cast<T>(FLib.Symbol(Name));
  }
  Platform::TDynLib FLib;
};

class TPKTServerFake : public ::testing::Test {
protected:
  void SetUp() override {
    TTPKTServer::SetTransportLibraryOverride(FakePath("fake_transport"));
    Fake = std::make_unique<TFake>();
    ASSERT_TRUE(Fake->Loaded());
    Fake->Reset();
  }
  void TearDown() override {
    Fake.reset();
    TTPKTServer::SetTransportLibraryOverride("");
  }

  // A started server on the stand-in.
  std::unique_ptr<TTPKTServer> Started(const std::string& Layer = "") {
    auto S = std::make_unique<TTPKTServer>();
    S->SetListenIP("127.0.0.1");
    S->SetPort(5000);
    S->SetLayer(Layer);
    S->SetActive(true);
    return S;
  }

  std::unique_ptr<TFake> Fake;
};

// Waits until the tick counter, the one the server times its clients by, has
// moved more than Ms on: whoever was last heard before the call is idle then.
bool IdleFor(uint32_t Ms) {
  const uint32_t From = Platform::TickCount();
  return WaitUntil([&] { return Platform::TickCount() - From > Ms; });
}

std::string WithSuffix(const std::string& Msg, int Code) {
  return Msg + " " + Platform::SystemMessage(Code) + "(" + std::to_string(Code) + ")";
}

// ---- binding ------------------------------------------------------------------

TEST_F(TPKTServerFake, LibraryAndExportsMissing) {
  TTPKTServer::SetTransportLibraryOverride(FakePath("no_such_variant"));
  try {
    TTPKTServer S;
    FAIL() << "constructed without a library";
  } catch (const ETPKTServerError&) {
    FAIL() << "wrong exception class";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Can not load library \"" + FakePath("no_such_variant") + "\"");
  }
  TTPKTServer::SetTransportLibraryOverride(FakePath("fake_transport_incomplete"));
  try {
    TTPKTServer S;
    FAIL() << "constructed without SendToClient";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Unable to locate symbol \"SendToClient\"");
  }
  // The failures left the shared binding as it was.
  TTPKTServer::SetTransportLibraryOverride(FakePath("fake_transport"));
  auto S = Started();
  EXPECT_TRUE(S->Active());
}

TEST_F(TPKTServerFake, OneBindingSharedAndReleasedWithTheLastObject) {
  auto A = std::make_unique<TTPKTServer>();
  auto B = std::make_unique<TTPKTServer>();
  B->SetActive(true);
  EXPECT_EQ(Fake->Calls(0), 1);
  A.reset();
  B->SetActive(false);
  B->SetActive(true);
  EXPECT_EQ(Fake->Calls(0), 2);  // still the same loaded library
  B.reset();
  // With the test's own handle gone too, the library unloads and its state
  // starts afresh on the next load.
  Fake.reset();
  auto C = std::make_unique<TTPKTServer>();
  C->SetActive(true);
  Fake = std::make_unique<TFake>();
  EXPECT_EQ(Fake->Calls(0), 1);
}

// ---- properties and start ------------------------------------------------------

TEST_F(TPKTServerFake, PropertiesAndStartParameters) {
  TTPKTServer S;
  EXPECT_EQ(S.ServerId(), -1);
  EXPECT_FALSE(S.Active());
  S.SetListenIP("0.0.0.0,NOTPKT=YES");
  S.SetPort(25003);
  S.SetActive(true);
  EXPECT_EQ(Fake->LastText(0), "0.0.0.0,NOTPKT=YES");
  EXPECT_EQ(Fake->Last(2, nullptr, 0), 25003);
  EXPECT_EQ(S.ServerId(), 1);
  S.SetActive(true);  // the current value: nothing happens
  EXPECT_EQ(Fake->Calls(0), 1);

  // While started only the current values may be set.
  EXPECT_NO_THROW(S.SetPort(25003));
  EXPECT_NO_THROW(S.SetListenIP("0.0.0.0,notpkt=yes"));
  EXPECT_NO_THROW(S.SetLayer(""));
  for (auto Change : std::vector<std::function<void()>>{[&] { S.SetPort(1); }, [&] { S.SetListenIP("1.2.3.4"); },
                                                        [&] { S.SetLayer("udp"); }}) {
    try {
      Change();
      ADD_FAILURE() << "changed while active";
    } catch (const ETPKTServerError& E) {
      EXPECT_EQ(E.Message(), "Cannot change property while server is active.");
    }
  }
  EXPECT_EQ(S.Port(), 25003);
  EXPECT_EQ(S.Layer(), "");

  S.SetActive(false);
  EXPECT_EQ(S.ServerId(), -1);
  S.SetLayer("udp");
  EXPECT_EQ(S.Layer(), "UDP");
  S.SetListenIP("10.1.1.1");
  S.SetNoTPKT(true);
  S.SetActive(true);
  EXPECT_EQ(Fake->LastText(0), "10.1.1.1,NOTPKT=YES,LAYER=UDP");
  EXPECT_EQ(S.ServerId(), 2);
}

TEST_F(TPKTServerFake, SendToNeedsTheUdpLayerAndAStartedServer) {
  auto Tcp = Started();
  EXPECT_FALSE(Tcp->SendTo("10.0.0.1", 4000, "x", 1));
  EXPECT_EQ(Fake->Calls(5), 0);
  auto Udp = Started("udp");
  EXPECT_TRUE(Udp->SendTo("10.0.0.2", 4001, "abc", 3));
  EXPECT_EQ(Fake->LastText(1), "10.0.0.2");
  EXPECT_EQ(Fake->Last(2, nullptr, 0), 4001);
  EXPECT_EQ(Fake->Last(3, nullptr, 0), 3);

  // A stopped server calls nothing.
  Udp->SetActive(false);
  EXPECT_FALSE(Udp->SendTo("10.0.0.2", 4001, "abc", 3));
  EXPECT_FALSE(Udp->SendToAll("abc", 3));
  EXPECT_FALSE(Udp->DisconnectClient(1));
  EXPECT_EQ(Fake->Calls(5), 1);
  EXPECT_EQ(Fake->Calls(3), 0);
  EXPECT_EQ(Fake->Calls(2), 0);
}

// ---- failures ------------------------------------------------------------------

TEST_F(TPKTServerFake, EveryFailureRaisesOnErrorThenTheException) {
  struct TCase {
    uint8_t Op;
    const char* Msg;
    std::function<bool(TTPKTServer&)> Call;
  };
  const std::vector<TCase> Cases = {
      {0, "Cannot start server.", [](TTPKTServer& S) { S.SetActive(true); return S.Active(); }},
      {1, "Stop server error.", [](TTPKTServer& S) { S.SetActive(false); return S.Active(); }},
      {2, "Disconnect client error (7).", [](TTPKTServer& S) { return S.DisconnectClient(7); }},
      {3, "Send data to all error.", [](TTPKTServer& S) { return S.SendToAll("x", 1); }},
      {5, "Send data to error (10.0.0.3:4002).", [](TTPKTServer& S) { return S.SendTo("10.0.0.3", 4002, "x", 1); }},
  };
  const int Code = 13;  // a code with a system text on both systems
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Msg);
    for (const bool Clears : {false, true}) {
      auto S = std::make_unique<TTPKTServer>();
      S->SetLayer("UDP");
      if (C.Op != 0) S->SetActive(true);
      Fake->Fail(C.Op, Code, 0);
      int Raised = 0;
      uint8_t Op = 255;
      std::string Msg;
      int32_t Seen = 0;
      S->OnError() = [&](TTPKTServer* Sender, uint8_t O, const std::string& M, int32_t& E) {
        EXPECT_EQ(Sender, S.get());
        ++Raised;
        Op = O;
        Msg = M;
        Seen = E;
        if (Clears) E = 0;
      };
      if (Clears) {
        EXPECT_FALSE(C.Call(*S));
      } else {
        try {
          C.Call(*S);
          ADD_FAILURE() << "no exception";
        } catch (const ETPKTServerError& E) {
          EXPECT_EQ(E.Message(), WithSuffix(C.Msg, Code));
        }
      }
      EXPECT_EQ(Raised, 1);
      EXPECT_EQ(Op, C.Op);
      EXPECT_EQ(Msg, C.Msg);
      EXPECT_EQ(Seen, Code);
      if (C.Op <= 1) {
        EXPECT_FALSE(S->Active());
        EXPECT_EQ(S->ServerId(), -1);
      }
      Fake->Fail(C.Op, 0, 0);
      S->OnError() = nullptr;
    }
  }
}

TEST_F(TPKTServerFake, AFailureWithoutACodeIsReportedAsMinusOne) {
  TTPKTServer S;
  Fake->Fail(0, -1, 0);  // fails, last error 0
  try {
    S.SetActive(true);
    FAIL() << "no exception";
  } catch (const ETPKTServerError& E) {
    EXPECT_EQ(E.Message(), WithSuffix("Cannot start server.", -1));
  }
  EXPECT_FALSE(S.Active());
}

// ---- routing and clients -------------------------------------------------------

TEST_F(TPKTServerFake, CallbacksReachOnlyTheirOwnObject) {
  auto A = Started();
  auto B = Started("UDP");
  std::vector<std::string> SeenA, SeenB;
  auto Record = [](std::vector<std::string>& Log) {
    return [&Log](TTPKTServer*, int32_t Id, const std::string& Addr, int32_t Port) {
      Log.push_back(std::to_string(Id) + "@" + Addr + ":" + std::to_string(Port));
    };
  };
  A->OnConnect() = Record(SeenA);
  B->OnConnect() = Record(SeenB);
  std::string DataA;
  A->OnClientData() = [&](TTPKTServer*, int32_t, const void* D, uint32_t N) {
    DataA.append(static_cast<const char*>(D), N);
  };

  Fake->Fire(TFake::Connect, A->ServerId(), 5, "10.0.0.5", 5005);
  Fake->Fire(TFake::Connect, B->ServerId(), 6, "10.0.0.6", 5006);
  Fake->Fire(TFake::Connect, 99, 7, "10.0.0.7", 5007);  // nobody's id
  Fake->Fire(TFake::ClientData, A->ServerId(), 5, "abc", 3);
  Fake->Fire(TFake::ClientData, B->ServerId(), 6, "xyz", 3);
  EXPECT_EQ(SeenA, std::vector<std::string>{"5@10.0.0.5:5005"});
  EXPECT_EQ(SeenB, std::vector<std::string>{"6@10.0.0.6:5006"});
  EXPECT_EQ(DataA, "abc");
  EXPECT_EQ(A->ClientCount(), 1);
  EXPECT_EQ(B->ClientCount(), 1);

  // The leaving client is still counted inside OnDisconnect.
  int CountInside = -1;
  A->OnDisconnect() = [&](TTPKTServer* S, int32_t, const std::string&, int32_t) { CountInside = S->ClientCount(); };
  Fake->Fire(TFake::Disconnect, A->ServerId(), 5, "10.0.0.5", 5005);
  EXPECT_EQ(CountInside, 1);
  EXPECT_EQ(A->ClientCount(), 0);

  // A stopped server hears nothing more.
  A->SetActive(false);
  Fake->Fire(TFake::Connect, 1, 8, "10.0.0.8", 5008);
  EXPECT_EQ(SeenA.size(), 1u);
  EXPECT_EQ(A->ClientCount(), 0);
}

TEST_F(TPKTServerFake, CallbacksDuringTheStopStillReachTheObject) {
  auto S = Started();
  const int32_t Id = S->ServerId();
  Fake->Fire(TFake::Connect, Id, 3, "10.0.0.9", 999);
  Fake->SetStopReports(3);
  bool WasActive = true;
  int32_t IdInside = 0;
  S->OnDisconnect() = [&](TTPKTServer* Sender, int32_t, const std::string&, int32_t) {
    WasActive = Sender->Active();
    IdInside = Sender->ServerId();
  };
  S->SetActive(false);
  EXPECT_FALSE(WasActive);
  EXPECT_EQ(IdInside, Id);
  EXPECT_EQ(S->ClientCount(), 0);
}

TEST_F(TPKTServerFake, AFailingHandlerKeepsTheLibraryOutOfIt) {
  auto S = Started();
  S->OnConnect() = [](TTPKTServer*, int32_t, const std::string&, int32_t) { throw Exception("handler"); };
  S->OnClientData() = [](TTPKTServer*, int32_t, const void*, uint32_t) { throw 42; };
  Fake->Fire(TFake::Connect, S->ServerId(), 1, "10.0.0.1", 1);
  EXPECT_EQ(S->ClientCount(), 1);
  // A failed delivery leaves the client as idle as it was; a handled one
  // refreshes it (the stand-in keeps a client that the sweep disconnects).
  ASSERT_TRUE(IdleFor(50));
  Fake->Fire(TFake::ClientData, S->ServerId(), 1, "x", 1);
  std::string Ids;
  EXPECT_TRUE(S->DisconnectIdleClients(50, Ids));
  S->OnClientData() = nullptr;
  Fake->Fire(TFake::ClientData, S->ServerId(), 1, "x", 1);
  EXPECT_FALSE(S->DisconnectIdleClients(50, Ids));
}

TEST_F(TPKTServerFake, DisconnectIdleClientsNewestFirst) {
  auto S = Started("UDP");
  for (int32_t Id : {1, 4, 7}) Fake->Fire(TFake::Connect, S->ServerId(), Id, "10.0.0.1", 1000 + Id);
  std::string Ids = "junk";
  EXPECT_FALSE(S->DisconnectIdleClients(60000, Ids));
  EXPECT_EQ(Ids, "");
  ASSERT_TRUE(IdleFor(60));
  Fake->Fire(TFake::ClientData, S->ServerId(), 4, "x", 1);  // 4 spoke just now
  EXPECT_TRUE(S->DisconnectIdleClients(60, Ids));
  EXPECT_EQ(Ids, "7,1");
  EXPECT_EQ(S->ClientCount(), 3);  // the records wait for the library's report
  ASSERT_TRUE(IdleFor(60));
  EXPECT_TRUE(S->DisconnectIdleClients(60, Ids));
  EXPECT_EQ(Ids, "7,4,1");
  EXPECT_EQ(Fake->Disconnected(), (std::vector<int32_t>{7, 1, 7, 4, 1}));
}

TEST_F(TPKTServerFake, DisconnectIdleClientsWithReportsOnTheCallingOrAnotherThread) {
  // 1: the library reports inside DisconnectClient; 2: it reports on another
  // thread and waits for that report before returning.
  for (const int Mode : {1, 2}) {
    SCOPED_TRACE(Mode);
    Fake->Reset();
    Fake->SetDisconnectMode(Mode);
    auto S = Started("UDP");
    std::vector<int32_t> Gone;
    std::vector<int> CountInside;
    S->OnDisconnect() = [&](TTPKTServer* Sender, int32_t Id, const std::string&, int32_t) {
      Gone.push_back(Id);
      CountInside.push_back(Sender->ClientCount());
    };
    for (int32_t Id : {1, 4, 7}) Fake->Fire(TFake::Connect, S->ServerId(), Id, "10.0.0.1", 1000 + Id);
    ASSERT_TRUE(IdleFor(5));
    std::string Ids;
    EXPECT_TRUE(S->DisconnectIdleClients(5, Ids));
    EXPECT_EQ(Ids, "7,4,1");
    EXPECT_EQ(Gone, (std::vector<int32_t>{7, 4, 1}));
    EXPECT_EQ(CountInside, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(S->ClientCount(), 0);
  }
}

TEST_F(TPKTServerFake, AFailingDisconnectEndsTheSweep) {
  auto S = Started("UDP");
  for (int32_t Id : {1, 4, 7}) Fake->Fire(TFake::Connect, S->ServerId(), Id, "10.0.0.1", 1000 + Id);
  ASSERT_TRUE(IdleFor(5));
  Fake->Fail(2, 13, 4);  // only client 4 fails
  std::string Ids;
  try {
    S->DisconnectIdleClients(5, Ids);
    FAIL() << "no exception";
  } catch (const ETPKTServerError& E) {
    EXPECT_EQ(E.Message(), WithSuffix("Disconnect client error (4).", 13));
  }
  EXPECT_EQ(Ids, "7");
  EXPECT_EQ(Fake->Disconnected(), std::vector<int32_t>{7});
  EXPECT_EQ(Fake->Calls(2), 2);

  // With a handler that clears the code the sweep goes on and lists them all.
  S->OnError() = [](TTPKTServer*, uint8_t, const std::string&, int32_t& Code) { Code = 0; };
  EXPECT_TRUE(S->DisconnectIdleClients(5, Ids));
  EXPECT_EQ(Ids, "7,4,1");
}

// ---- concurrency ---------------------------------------------------------------

TEST_F(TPKTServerFake, HandlersSwappedWhileCallbacksRun) {
  auto S = Started();
  const int32_t Id = S->ServerId();
  Fake->Fire(TFake::Connect, Id, 1, "10.0.0.1", 1);
  std::atomic<bool> Done{false};
  std::atomic<long> Old{0}, New{0};
  std::vector<std::thread> Library;
  for (int T = 0; T < 3; ++T)
    Library.emplace_back([&] {
      while (!Done) Fake->Fire(TFake::ClientData, Id, 1, "x", 1);
    });
  for (int I = 0; I < 2000 || (Old + New == 0 && I < 2000000); ++I) {
    if (I % 2)
      S->OnClientData() = [&](TTPKTServer*, int32_t, const void*, uint32_t) { ++Old; };
    else
      S->OnClientData() = [&](TTPKTServer*, int32_t, const void*, uint32_t) { ++New; };
    if (I % 7 == 0) S->OnClientData() = nullptr;
  }
  Done = true;
  for (auto& T : Library) T.join();
  EXPECT_GT(Old + New, 0);
}

TEST_F(TPKTServerFake, NoCallbackRunsOnADestroyedObject) {
  for (int Round = 0; Round < 20; ++Round) {
    auto S = Started();
    const int32_t Id = S->ServerId();
    auto Alive = std::make_shared<std::atomic<bool>>(true);
    std::atomic<bool> Violation{false};
    std::atomic<int> Handled{0};
    S->OnClientData() = [Alive, &Violation, &Handled](TTPKTServer* Sender, int32_t, const void*, uint32_t) {
      ++Handled;
      for (int I = 0; I < 50; ++I)
        if (!*Alive || Sender->ClientCount() != 1) Violation = true;
    };
    Fake->Fire(TFake::Connect, Id, 1, "10.0.0.1", 1);
    std::atomic<bool> Done{false};
    std::thread Library([&] {
      while (!Done) Fake->Fire(TFake::ClientData, Id, 1, "x", 1);
    });
    while (Handled < 10) std::this_thread::yield();
    // The destructor waits out the callback still on the object; none starts
    // after it has begun.
    S.reset();
    *Alive = false;
    Done = true;
    Library.join();
    EXPECT_FALSE(Violation);
  }
}

TEST_F(TPKTServerFake, DestroyedFromInsideItsOwnCallback) {
  TTPKTServer* Raw = Started().release();
  Raw->OnConnect() = [](TTPKTServer* Sender, int32_t, const std::string&, int32_t) { delete Sender; };
  Fake->Fire(TFake::Connect, Raw->ServerId(), 1, "10.0.0.1", 1);  // the sanitizers watch the rest
  Fake->Fire(TFake::ClientData, 1, 1, "x", 1);
}

}  // namespace
