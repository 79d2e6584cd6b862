// impair_relay LISTEN_PORT TARGET_HOST TARGET_PORT [options]
//
// A user-space stand-in for an impaired network: every UDP datagram that comes
// to LISTEN_PORT goes on to TARGET_HOST:TARGET_PORT through the impairment
// model (delay, jitter, loss, reordering, duplication, bursts, a clock rate
// offset); what the target sends back goes to the last sender unimpaired, or
// only delayed (--back-delay: a round trip of both delays, as on a real path).
// Seeded: the same datagrams in the same order meet the same fate. Prints its
// counts when it ends (after --duration seconds, or on Ctrl+C). --out-port
// fixes the port it sends to the target from, for a target that tells its peers
// by their ports (RTCP on the RTP port + 1).

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <queue>
#include <string>
#include <vector>

#include "impairment.h"

namespace {

using asio::ip::udp;
using TClock = std::chrono::steady_clock;

struct TPending {
  double DueMs;
  uint64_t Order;
  std::vector<char> Data;
  bool operator>(const TPending& O) const { return DueMs != O.DueMs ? DueMs > O.DueMs : Order > O.Order; }
};

// One way through the relay: datagrams wait for their time (ms after Start)
// and go out through Send, in the order of their times.
class TWay {
public:
  using TSend = std::function<void(const std::vector<char>&)>;
  TWay(asio::io_context& Io, TClock::time_point Start, TSend Send) : FTimer(Io), FStart(Start), FSend(std::move(Send)) {}

  void Add(double DueMs, const char* Data, size_t Size) {
    FQueue.push({DueMs, FOrder++, std::vector<char>(Data, Data + Size)});
    FTimer.cancel();  // it may be due before the one the timer waits for
    Arm();
  }

private:
  void Arm() {
    if (FQueue.empty()) return;
    FTimer.expires_at(FStart + std::chrono::microseconds(static_cast<int64_t>(FQueue.top().DueMs * 1000)));
    FTimer.async_wait([this](const std::error_code& Ec) {
      if (Ec) return;
      const double Now = std::chrono::duration<double, std::milli>(TClock::now() - FStart).count();
      for (; !FQueue.empty() && FQueue.top().DueMs <= Now; FQueue.pop()) FSend(FQueue.top().Data);
      Arm();
    });
  }

  std::priority_queue<TPending, std::vector<TPending>, std::greater<>> FQueue;
  uint64_t FOrder = 0;
  asio::steady_timer FTimer;
  const TClock::time_point FStart;
  const TSend FSend;
};

void Usage(const char* Name) {
  std::fprintf(stderr,
               "usage: %s LISTEN_PORT TARGET_HOST TARGET_PORT [options]\n"
               "  --bind ADDR         address to listen on (127.0.0.1)\n"
               "  --duration S        stop after S seconds\n"
               "  --out-port N        send to the target from port N (any free one)\n"
               "  --back-delay MS     fixed delay of what the target sends back (none)\n%s",
               Name, TImpairSettings::Usage());
}

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc < 4) {
    Usage(Argv[0]);
    return 2;
  }
  std::string Bind = "127.0.0.1";
  double Duration = 0, BackDelay = 0;
  unsigned short OutPort = 0;
  std::vector<std::string> Rest;
  for (int I = 4; I < Argc; ++I) {
    const std::string A = Argv[I];
    if ((A == "--bind" || A == "--duration" || A == "--out-port" || A == "--back-delay") && I + 1 < Argc) {
      if (A == "--bind")
        Bind = Argv[++I];
      else if (A == "--out-port")
        OutPort = static_cast<unsigned short>(std::atoi(Argv[++I]));
      else if (A == "--back-delay")
        BackDelay = std::max(0.0, std::atof(Argv[++I]));
      else
        Duration = std::atof(Argv[++I]);
    } else {
      Rest.push_back(A);
    }
  }
  TImpairSettings Settings;
  std::string Error;
  if (!Settings.Parse(Rest, Error)) {
    std::fprintf(stderr, "impair_relay: %s\n", Error.c_str());
    Usage(Argv[0]);
    return 2;
  }
  try {
    asio::io_context Io;
    const auto Address = asio::ip::make_address(Bind);
    udp::socket In(Io, udp::endpoint(Address, static_cast<unsigned short>(std::atoi(Argv[1]))));
    udp::socket Out(Io, udp::endpoint(Address, OutPort));
    const udp::endpoint Target = *udp::resolver(Io).resolve(udp::v4(), Argv[2], Argv[3]).begin();
    TImpairment Model(Settings);
    const TClock::time_point Start = TClock::now();
    auto NowMs = [&] { return std::chrono::duration<double, std::milli>(TClock::now() - Start).count(); };
    uint64_t Sent = 0, Back = 0;
    udp::endpoint Client, From, BackFrom;
    bool HaveClient = false;
    std::array<char, 65536> Buf, BackBuf;

    TWay Forward(Io, Start, [&](const std::vector<char>& Data) {
      std::error_code SendEc;
      Out.send_to(asio::buffer(Data), Target, 0, SendEc);
      Sent += !SendEc;
    });
    auto SendBack = [&](const char* Data, size_t N) {
      if (!HaveClient) return;
      std::error_code SendEc;
      In.send_to(asio::buffer(Data, N), Client, 0, SendEc);
      Back += !SendEc;
    };
    TWay Backward(Io, Start, [&](const std::vector<char>& Data) { SendBack(Data.data(), Data.size()); });
    std::function<void(const std::error_code&, size_t)> OnIn = [&](const std::error_code& Ec, size_t N) {
      if (Ec) return;
      Client = From;
      HaveClient = true;
      for (double Due : Model.Schedule(NowMs())) Forward.Add(Due, Buf.data(), N);
      In.async_receive_from(asio::buffer(Buf), From, OnIn);
    };
    std::function<void(const std::error_code&, size_t)> OnBack = [&](const std::error_code& Ec, size_t N) {
      if (Ec) return;
      if (BackDelay > 0)
        Backward.Add(NowMs() + BackDelay, BackBuf.data(), N);
      else
        SendBack(BackBuf.data(), N);
      Out.async_receive_from(asio::buffer(BackBuf), BackFrom, OnBack);
    };
    In.async_receive_from(asio::buffer(Buf), From, OnIn);
    Out.async_receive_from(asio::buffer(BackBuf), BackFrom, OnBack);

    asio::signal_set Signals(Io, SIGINT, SIGTERM);
    Signals.async_wait([&](const std::error_code&, int) { Io.stop(); });
    asio::steady_timer End(Io);
    if (Duration > 0) {
      End.expires_after(std::chrono::milliseconds(static_cast<int64_t>(Duration * 1000)));
      End.async_wait([&](const std::error_code& Ec) {
        if (!Ec) Io.stop();
      });
    }
    Io.run();
    const TImpairCounters& C = Model.Counters();
    std::printf("impair_relay: in=%llu lost=%llu duplicated=%llu held-back=%llu sent=%llu back=%llu\n",
                static_cast<unsigned long long>(C.In), static_cast<unsigned long long>(C.Lost),
                static_cast<unsigned long long>(C.Duplicated), static_cast<unsigned long long>(C.Reordered),
                static_cast<unsigned long long>(Sent), static_cast<unsigned long long>(Back));
    return 0;
  } catch (const std::exception& E) {
    std::fprintf(stderr, "impair_relay: %s\n", E.what());
    return 1;
  }
}
