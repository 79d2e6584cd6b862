#pragma once
// Helpers for driving the transport library directly: its exports, a recorder
// of its callbacks, loopback peers and free ports.

#include <asio.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynlib.h"
#include "platform/sysmsg.h"
#include "test_support.h"
#include "tpkt_transport.h"

namespace TransportTest {

// The library's exports, bound once for the whole test program.
struct TLib {
  Platform::TDynLib Library;
  TStartTPKTServer Start = nullptr;
  TStopTPKTServer Stop = nullptr;
  TDisconnectClient Disconnect = nullptr;
  TSendToAll SendToAll = nullptr;
  TSendToClient SendToClient = nullptr;
  TSendTo SendTo = nullptr;
  TGetTPKTServerCounters Counters = nullptr;

  // Clients the server let go for having stopped reading.
  uint64_t DroppedSlow(int32_t ServerId) const {
    TTPKTServerCounters C{};
    return Counters && Counters(ServerId, &C, sizeof C) == 0 ? C.ClientsDroppedSlow : ~uint64_t{0};
  }

  bool Loaded() const { return Start && Stop && Disconnect && SendToAll && SendToClient && SendTo; }
};

inline const TLib& Lib() {
  static const TLib L = [] {
    TLib R;
    R.Library = Platform::TDynLib::Load(Platform::LibraryFileName("srv_TAVEK_TPKT_Transport"));
    auto Sym = [&](const char* Name) { return R.Library.Symbol(Name); };
    R.Start = reinterpret_cast<TStartTPKTServer>(Sym("StartTPKTServer"));
    R.Stop = reinterpret_cast<TStopTPKTServer>(Sym("StopTPKTServer"));
    R.Disconnect = reinterpret_cast<TDisconnectClient>(Sym("DisconnectClient"));
    R.SendToAll = reinterpret_cast<TSendToAll>(Sym("SendToAll"));
    R.SendToClient = reinterpret_cast<TSendToClient>(Sym("SendToClient"));
    R.SendTo = reinterpret_cast<TSendTo>(Sym("SendTo"));
    R.Counters = reinterpret_cast<TGetTPKTServerCounters>(Sym("GetTPKTServerCounters"));
    return R;
  }();
  return L;
}

// One callback as the library made it.
struct TCall {
  enum TKind { Connect, Disconnect, Data, ServerData } Kind;
  int32_t Server = 0;
  int32_t Client = 0;
  std::string Address;
  int32_t Port = 0;
  std::string Bytes;
  std::thread::id Thread;
};

// Records every callback of every server; tests wait on it.
class TRecorder {
public:
  static TRecorder& Get() {
    static TRecorder R;
    return R;
  }

  void Add(TCall C) {
    C.Thread = std::this_thread::get_id();
    std::function<void(const TCall&)> Hook;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      Hook = FHook;
      FCalls.push_back(C);
    }
    FChanged.notify_all();
    if (Hook) Hook(C);
  }

  // Runs inside each callback after it was recorded (for re-entrant calls).
  void SetHook(std::function<void(const TCall&)> Hook) {
    std::lock_guard<std::mutex> Guard(FLock);
    FHook = std::move(Hook);
  }

  std::vector<TCall> Calls(int32_t Server) {
    std::lock_guard<std::mutex> Guard(FLock);
    std::vector<TCall> R;
    for (const auto& C : FCalls)
      if (C.Server == Server) R.push_back(C);
    return R;
  }

  std::vector<TCall> Calls(int32_t Server, TCall::TKind Kind) {
    std::vector<TCall> R;
    for (auto& C : Calls(Server))
      if (C.Kind == Kind) R.push_back(C);
    return R;
  }

  // Waits until Done holds for the calls of Server (at most TimeoutMs).
  bool WaitFor(int32_t Server, const std::function<bool(const std::vector<TCall>&)>& Done,
               int TimeoutMs = 5000) {
    std::unique_lock<std::mutex> Guard(FLock);
    return FChanged.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), [&] {
      std::vector<TCall> Mine;
      for (const auto& C : FCalls)
        if (C.Server == Server) Mine.push_back(C);
      return Done(Mine);
    });
  }

  // Waits until the server has made Count calls of this kind.
  bool WaitCount(int32_t Server, TCall::TKind Kind, size_t Count, int TimeoutMs = 5000) {
    return WaitFor(
        Server,
        [&](const std::vector<TCall>& Calls) {
          size_t N = 0;
          for (const auto& C : Calls) N += C.Kind == Kind;
          return N >= Count;
        },
        TimeoutMs);
  }

  // The bytes of the server's latest data callback ("" before the first).
  std::string LastData(int32_t Server) {
    std::lock_guard<std::mutex> Guard(FLock);
    for (auto It = FCalls.rbegin(); It != FCalls.rend(); ++It)
      if (It->Server == Server && It->Kind == TCall::Data) return It->Bytes;
    return "";
  }

  size_t Count(int32_t Server) {
    std::lock_guard<std::mutex> Guard(FLock);
    size_t N = 0;
    for (const auto& C : FCalls) N += C.Server == Server;
    return N;
  }

  void Clear() {
    std::lock_guard<std::mutex> Guard(FLock);
    FCalls.clear();
    FHook = nullptr;
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;  // waits on FLock
  std::vector<TCall> FCalls;         // guarded by FLock
  std::function<void(const TCall&)> FHook;  // guarded by FLock
};

inline void TPKT_CALL OnServerData(int32_t S, int32_t C, const void* D, int32_t N) {
  TRecorder::Get().Add({TCall::ServerData, S, C, "", 0, std::string(static_cast<const char*>(D), N), {}});
}
inline void TPKT_CALL OnClientData(int32_t S, int32_t C, const void* D, int32_t N) {
  TRecorder::Get().Add({TCall::Data, S, C, "", 0, std::string(static_cast<const char*>(D), N), {}});
}
inline void TPKT_CALL OnConnect(int32_t S, int32_t C, const char* A, int32_t P) {
  TRecorder::Get().Add({TCall::Connect, S, C, A, P, "", {}});
}
inline void TPKT_CALL OnDisconnect(int32_t S, int32_t C, const char* A, int32_t P) {
  TRecorder::Get().Add({TCall::Disconnect, S, C, A, P, "", {}});
}

// A port that was free a moment ago on the loopback address.
inline uint16_t FreePort(bool Udp, std::string Address = "127.0.0.1") {
  if (!Address.empty() && Address.front() == '[') Address = Address.substr(1, Address.size() - 2);
  asio::io_context Io;
  if (Udp) {
    asio::ip::udp::socket S(Io, asio::ip::udp::endpoint(asio::ip::make_address(Address), 0));
    return S.local_endpoint().port();
  }
  asio::ip::tcp::acceptor A(Io, asio::ip::tcp::endpoint(asio::ip::make_address(Address), 0));
  return A.local_endpoint().port();
}

struct TStarted {
  int32_t Id = -1;
  uint16_t Port = 0;
};

// Starts a server on a free loopback port; a port taken in between by someone
// else is retried with another one.
inline TStarted StartServer(const std::string& Options, bool Udp, const char* Address = "127.0.0.1") {
  for (int Attempt = 0; Attempt < 20; ++Attempt) {
    const uint16_t Port = FreePort(Udp, Address);
    const std::string Params = std::string(Address) + Options;
    const int32_t Id = Lib().Start(Params.c_str(), Port, OnServerData, OnClientData, OnConnect, OnDisconnect);
    if (Id != -1) return {Id, Port};
  }
  return {};
}

inline std::string Bytes(size_t N, uint8_t Seed) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>(Seed + I * 7);
  return S;
}

inline std::string TpktPacket(const std::string& Payload) {
  const size_t Len = Payload.size() + 4;
  std::string S = {3, 0, static_cast<char>(Len >> 8), static_cast<char>(Len & 0xFF)};
  return S + Payload;
}

// Reads exactly N bytes (or fails after TimeoutMs).
inline bool ReadExactly(asio::ip::tcp::socket& S, size_t N, std::string& Out, int TimeoutMs = 5000) {
  Out.assign(N, '\0');
  size_t Got = 0;
  std::error_code Ec;
  S.non_blocking(true);
  TestSupport::WaitUntil(
      [&] {
        while (Got < N && !Ec) Got += S.read_some(asio::buffer(&Out[Got], N - Got), Ec);
        if (Ec != asio::error::would_block) return true;  // all of it, or a failure
        Ec.clear();
        return false;
      },
      TimeoutMs);
  return Got == N;
}

// True when the peer closes the connection within TimeoutMs (data before the
// close is skipped).
inline bool WaitClosed(asio::ip::tcp::socket& S, int TimeoutMs = 5000) {
  S.non_blocking(true);
  char Buf[65536];
  return TestSupport::WaitUntil(
      [&] {
        std::error_code Ec;
        while (!Ec) S.read_some(asio::buffer(Buf), Ec);
        return Ec != asio::error::would_block;
      },
      TimeoutMs);
}

// Receives one datagram (or fails after TimeoutMs).
inline bool ReceiveDatagram(asio::ip::udp::socket& S, std::string& Out, int TimeoutMs = 5000,
                            asio::ip::udp::endpoint* From = nullptr) {
  S.non_blocking(true);
  char Buf[65536];
  asio::ip::udp::endpoint Sender;
  std::error_code Ec = asio::error::would_block;
  size_t N = 0;
  TestSupport::WaitUntil(
      [&] {
        N = S.receive_from(asio::buffer(Buf), Sender, 0, Ec);
        return Ec != asio::error::would_block;
      },
      TimeoutMs);
  if (Ec) return false;
  Out.assign(Buf, N);
  if (From) *From = Sender;
  return true;
}

}  // namespace TransportTest
