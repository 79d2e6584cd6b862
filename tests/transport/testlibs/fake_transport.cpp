// A stand-in transport library with the real one's exports, for failure
// injection: each operation can be made to fail with a chosen code, and the
// test fires the callbacks itself, on whatever thread it likes. Built once
// complete and once without SendToClient.

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tpkt_transport.h"

#if defined(_WIN32)
#include <windows.h>
static void SetCode(int Code) { ::SetLastError(static_cast<DWORD>(Code)); }
#else
#include <cerrno>
static void SetCode(int Code) { errno = Code; }
#endif

namespace {

struct TCallbacks {
  TTPKTDataCallback Data;
  TTPKTDataCallback ClientData;
  TTPKTConnectCallback Connect;
  TTPKTConnectCallback Disconnect;
};

// Plain globals (no function statics): the library must really unload.
std::mutex Lock;
std::map<int32_t, TCallbacks> Servers;  // guarded by Lock
int32_t NextId = 1;                     // guarded by Lock
int FailCode[6] = {};                   // guarded by Lock: per operation, 0 = succeed
int32_t FailClient = 0;                 // guarded by Lock: only this client fails (0 = every one)
int Calls[6] = {};                      // guarded by Lock
std::string LastParams;                 // guarded by Lock
int32_t LastPort = 0;                   // guarded by Lock
std::string LastHost;                   // guarded by Lock
int32_t LastSize = 0;                   // guarded by Lock
std::vector<int32_t> Disconnected;      // guarded by Lock
int DisconnectMode = 0;                 // guarded by Lock: 0 silent, 1 report here, 2 report on another thread and wait
int32_t StopReports = 0;                // guarded by Lock: a client reported gone during the stop

// Counts the call; true (and the code set) when it is to fail.
bool Failing(int Op, int32_t Client = 0) {
  std::lock_guard<std::mutex> Guard(Lock);
  ++Calls[Op];
  if (FailCode[Op] == 0 || (FailClient != 0 && Client != FailClient)) return false;
  SetCode(FailCode[Op] == -1 ? 0 : FailCode[Op]);
  return true;
}

// The callbacks of a server; for an unknown id those of any server, so that a
// test can present the program with ids it does not know.
TCallbacks Find(int32_t ServerId) {
  std::lock_guard<std::mutex> Guard(Lock);
  const auto It = Servers.find(ServerId);
  if (It != Servers.end()) return It->second;
  return Servers.empty() ? TCallbacks{} : Servers.begin()->second;
}

}  // namespace

TPKT_EXPORT int32_t TPKT_CALL StartTPKTServer(const char* Params, int32_t Port, TTPKTDataCallback Data,
                                              TTPKTDataCallback ClientData, TTPKTConnectCallback Connect,
                                              TTPKTConnectCallback Disconnect) noexcept {
  {
    std::lock_guard<std::mutex> Guard(Lock);
    LastParams = Params ? Params : "";
    LastPort = Port;
  }
  if (Failing(0)) return -1;
  std::lock_guard<std::mutex> Guard(Lock);
  const int32_t Id = NextId++;
  Servers[Id] = {Data, ClientData, Connect, Disconnect};
  return Id;
}

TPKT_EXPORT int32_t TPKT_CALL StopTPKTServer(int32_t ServerId) noexcept {
  int32_t Report;
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Report = StopReports;
  }
  if (Report != 0) {
    const TCallbacks C = Find(ServerId);
    if (C.Disconnect) C.Disconnect(ServerId, Report, "10.0.0.9", 999);
  }
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Servers.erase(ServerId);
  }
  return Failing(1) ? -1 : 0;
}

TPKT_EXPORT int32_t TPKT_CALL DisconnectClient(int32_t ServerId, int32_t ClientId) noexcept {
  if (Failing(2, ClientId)) return -1;
  int Mode;
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Disconnected.push_back(ClientId);
    Mode = DisconnectMode;
  }
  const TCallbacks C = Find(ServerId);
  if (Mode == 1 && C.Disconnect) C.Disconnect(ServerId, ClientId, "10.0.0.1", 1000 + ClientId);
  if (Mode == 2 && C.Disconnect) {
    std::thread Reporter([&] { C.Disconnect(ServerId, ClientId, "10.0.0.1", 1000 + ClientId); });
    Reporter.join();
  }
  return 0;
}

TPKT_EXPORT int32_t TPKT_CALL SendToAll(int32_t, const void*, int32_t Size) noexcept {
  {
    std::lock_guard<std::mutex> Guard(Lock);
    LastSize = Size;
  }
  return Failing(3) ? -1 : 0;
}

#if !defined(FAKE_NO_SEND_TO_CLIENT)
TPKT_EXPORT int32_t TPKT_CALL SendToClient(int32_t, int32_t, const void*, int32_t) noexcept {
  return Failing(4) ? -1 : 0;
}
#endif

TPKT_EXPORT int32_t TPKT_CALL SendTo(int32_t, const char* Host, int32_t Port, const void*, int32_t Size) noexcept {
  {
    std::lock_guard<std::mutex> Guard(Lock);
    LastHost = Host ? Host : "";
    LastPort = Port;
    LastSize = Size;
  }
  return Failing(5) ? -1 : 0;
}

// ---- control ------------------------------------------------------------------

TPKT_EXPORT void TPKT_CALL FakeReset() noexcept {
  std::lock_guard<std::mutex> Guard(Lock);
  Servers.clear();
  NextId = 1;
  std::memset(FailCode, 0, sizeof(FailCode));
  std::memset(Calls, 0, sizeof(Calls));
  FailClient = 0;
  LastParams.clear();
  LastHost.clear();
  LastPort = 0;
  LastSize = 0;
  Disconnected.clear();
  DisconnectMode = 0;
  StopReports = 0;
}

// Operation Op fails with Code from now on (-1: fails with the code 0; 0: succeeds).
TPKT_EXPORT void TPKT_CALL FakeFail(int Op, int Code, int32_t OnlyClient) noexcept {
  std::lock_guard<std::mutex> Guard(Lock);
  FailCode[Op] = Code;
  FailClient = OnlyClient;
}

TPKT_EXPORT int TPKT_CALL FakeCalls(int Op) noexcept {
  std::lock_guard<std::mutex> Guard(Lock);
  return Calls[Op];
}

TPKT_EXPORT void TPKT_CALL FakeSetDisconnectMode(int Mode) noexcept {
  std::lock_guard<std::mutex> Guard(Lock);
  DisconnectMode = Mode;
}

TPKT_EXPORT void TPKT_CALL FakeSetStopReports(int32_t ClientId) noexcept {
  std::lock_guard<std::mutex> Guard(Lock);
  StopReports = ClientId;
}

// Text: 0 the last start parameters, 1 the last SendTo host; Port/Size as last seen.
TPKT_EXPORT int32_t TPKT_CALL FakeLast(int What, char* Buf, int32_t BufSize) noexcept {
  std::lock_guard<std::mutex> Guard(Lock);
  if (What == 2) return LastPort;
  if (What == 3) return LastSize;
  const std::string& T = What == 0 ? LastParams : LastHost;
  std::snprintf(Buf, static_cast<size_t>(BufSize), "%s", T.c_str());
  return static_cast<int32_t>(T.size());
}

// The clients asked to be disconnected, in order.
TPKT_EXPORT int32_t TPKT_CALL FakeDisconnected(int32_t* Ids, int32_t Max) noexcept {
  std::lock_guard<std::mutex> Guard(Lock);
  int32_t N = 0;
  for (; N < Max && N < static_cast<int32_t>(Disconnected.size()); ++N) Ids[N] = Disconnected[N];
  return N;
}

// Fires a callback of a server on the calling thread: 0 data, 1 client data,
// 2 connect, 3 disconnect. Text is the data or the address.
TPKT_EXPORT void TPKT_CALL FakeFire(int Kind, int32_t ServerId, int32_t ClientId, const char* Text,
                                    int32_t Value) noexcept {
  const TCallbacks C = Find(ServerId);
  switch (Kind) {
    case 0:
      if (C.Data) C.Data(ServerId, ClientId, Text, Value);
      break;
    case 1:
      if (C.ClientData) C.ClientData(ServerId, ClientId, Text, Value);
      break;
    case 2:
      if (C.Connect) C.Connect(ServerId, ClientId, Text, Value);
      break;
    case 3:
      if (C.Disconnect) C.Disconnect(ServerId, ClientId, Text, Value);
      break;
  }
}
