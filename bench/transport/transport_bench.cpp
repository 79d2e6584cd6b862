// The transport library and the mixer on loopback, each against a plain-socket
// baseline measured in the same run:
//
// - UDP receive: datagrams per second from the socket to ClientDataCallback for
//   one sender, against a blocking receive loop on a socket of its own (both fed
//   by the same sender, which stays a fixed window ahead so nothing is lost);
// - TCP fan-out: from one 2000-byte frame handed to SendToAll until the last of
//   1, 8 or 64 clients has all of it, against one 2000-byte write and read over
//   a plain loopback connection;
// - mixer: from the AddBuffer that completes a pair of chunks until the frame
//   has arrived at a client, against the same baseline.
//
// Times are wall-clock; the table at the end gives each against its baseline.

#include <benchmark/benchmark.h>

#include "bench_ratio.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mixer/tcp_audio_mixer.h"
#include "transport_lib.h"

namespace {

using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

const auto Loopback = asio::ip::make_address("127.0.0.1");
constexpr int Batch = 20000;   // datagrams per iteration
constexpr int Window = 64;     // datagrams the sender may be ahead
constexpr size_t DatagramSize = 172;  // one RTP packet of 20 ms A-law

// ---- UDP receive ------------------------------------------------------------------

std::atomic<long> UdpReceived{0};

void TPKT_CALL CountData(int32_t, int32_t, const void*, int32_t) { UdpReceived.fetch_add(1, std::memory_order_release); }
void TPKT_CALL IgnoreConnect(int32_t, int32_t, const char*, int32_t) {}

// Sends Batch datagrams to To, never more than Window ahead of the receiver.
bool SendBatch(udp::socket& Sender, const udp::endpoint& To) {
  const std::vector<char> D(DatagramSize, 0x55);
  const long Start = UdpReceived.load();
  for (long Sent = 0; Sent < Batch; ++Sent) {
    while (Sent - (UdpReceived.load(std::memory_order_acquire) - Start) >= Window) std::this_thread::yield();
    Sender.send_to(asio::buffer(D), To);
  }
  const auto Deadline = Clock::now() + std::chrono::seconds(5);
  while (UdpReceived.load(std::memory_order_acquire) - Start < Batch)
    if (Clock::now() > Deadline) return false;  // lost on the way
  return true;
}

void BM_UdpBlockingLoop(benchmark::State& State) {
  asio::io_context Io;
  udp::socket Receiver(Io, udp::endpoint(Loopback, 0));
  const udp::endpoint To = Receiver.local_endpoint();
  std::atomic<bool> Done{false};
  std::thread Loop([&] {
    std::vector<char> Buf(65536);
    udp::endpoint From;
    std::error_code Ec;
    while (!Done) {
      Receiver.receive_from(asio::buffer(Buf), From, 0, Ec);
      if (!Ec) UdpReceived.fetch_add(1, std::memory_order_release);
    }
  });
  udp::socket Sender(Io, udp::endpoint(Loopback, 0));
  for (auto _ : State)
    if (!SendBatch(Sender, To)) State.SkipWithError("datagrams lost");
  Done = true;
  Sender.send_to(asio::buffer("x", 1), To);  // wakes the loop
  Loop.join();
  State.SetItemsProcessed(State.iterations() * Batch);
}
BENCHMARK(BM_UdpBlockingLoop)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_UdpLibraryToCallback(benchmark::State& State) {
  using namespace TransportTest;
  const uint16_t Port = FreePort(true);
  const int32_t Id = Lib().Start("127.0.0.1,LAYER=UDP", Port, nullptr, CountData, IgnoreConnect, IgnoreConnect);
  if (Id == -1) {
    State.SkipWithError("server did not start");
    return;
  }
  asio::io_context Io;
  udp::socket Sender(Io, udp::endpoint(Loopback, 0));
  for (auto _ : State)
    if (!SendBatch(Sender, udp::endpoint(Loopback, Port))) State.SkipWithError("datagrams lost");
  Lib().Stop(Id);
  State.SetItemsProcessed(State.iterations() * Batch);
}
BENCHMARK(BM_UdpLibraryToCallback)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- TCP ----------------------------------------------------------------------------

constexpr size_t FrameBytes = 2000;

void BM_TcpLoopbackWriteRead(benchmark::State& State) {
  asio::io_context Io;
  tcp::acceptor Acceptor(Io, tcp::endpoint(Loopback, 0));
  tcp::socket Writer(Io), Reader(Io);
  Writer.connect(Acceptor.local_endpoint());
  Acceptor.accept(Reader);
  Writer.set_option(tcp::no_delay(true));
  std::vector<char> Out(FrameBytes, 1), In(FrameBytes);
  for (auto _ : State) {
    const auto T0 = Clock::now();
    asio::write(Writer, asio::buffer(Out));
    asio::read(Reader, asio::buffer(In));
    State.SetIterationTime(std::chrono::duration<double>(Clock::now() - T0).count());
  }
}
BENCHMARK(BM_TcpLoopbackWriteRead)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Clients that each read one frame per round on a reader thread of their own.
class TReaders {
public:
  TReaders(uint16_t Port, int Count) : FWork(asio::make_work_guard(FIo)) {
    for (int I = 0; I < Count; ++I) {
      FSockets.emplace_back(FIo);
      FSockets.back().connect(tcp::endpoint(Loopback, Port));
      FBuffers.emplace_back(FrameBytes);
    }
    FThread = std::thread([this] { FIo.run(); });
  }
  ~TReaders() {
    FWork.reset();
    asio::post(FIo, [this] {
      for (auto& S : FSockets) S.close();
    });
    FThread.join();
  }
  TReaders(const TReaders&) = delete;
  TReaders& operator=(const TReaders&) = delete;

  // Arms one read of a whole frame on every client.
  void Arm() {
    {
      std::lock_guard<std::mutex> Guard(FLock);
      FDone = 0;
    }
    std::atomic<bool> Armed{false};
    asio::post(FIo, [&] {
      for (size_t I = 0; I < FSockets.size(); ++I)
        asio::async_read(FSockets[I], asio::buffer(FBuffers[I]), [this](const std::error_code& Ec, size_t) {
          if (Ec) return;
          std::lock_guard<std::mutex> Guard(FLock);
          if (++FDone == static_cast<int>(FSockets.size())) FAllDone.notify_one();
        });
      Armed = true;
    });
    while (!Armed) std::this_thread::yield();
  }
  // Waits (without spinning: the machine may have two cores only).
  bool WaitAll(const Clock::time_point& Deadline) {
    std::unique_lock<std::mutex> Guard(FLock);
    return FAllDone.wait_until(Guard, Deadline, [&] { return FDone == static_cast<int>(FSockets.size()); });
  }

private:
  asio::io_context FIo;
  asio::executor_work_guard<asio::io_context::executor_type> FWork;
  std::vector<tcp::socket> FSockets;
  std::vector<std::vector<char>> FBuffers;
  std::mutex FLock;
  std::condition_variable FAllDone;  // waits on FLock
  int FDone = 0;                     // guarded by FLock
  std::thread FThread;
};

std::atomic<int> TcpConnected{0};
void TPKT_CALL CountConnect(int32_t, int32_t, const char*, int32_t) { TcpConnected.fetch_add(1); }

void BM_TcpFanOut(benchmark::State& State) {
  using namespace TransportTest;
  const int Clients = static_cast<int>(State.range(0));
  const uint16_t Port = FreePort(false);
  TcpConnected = 0;
  const int32_t Id = Lib().Start("127.0.0.1,NOTPKT=YES", Port, nullptr, nullptr, CountConnect, IgnoreConnect);
  if (Id == -1) {
    State.SkipWithError("server did not start");
    return;
  }
  {
    TReaders Readers(Port, Clients);
    while (TcpConnected < Clients) std::this_thread::yield();
    const std::vector<char> Frame(FrameBytes, 7);
    for (auto _ : State) {
      Readers.Arm();
      const auto T0 = Clock::now();
      Lib().SendToAll(Id, Frame.data(), FrameBytes);
      if (!Readers.WaitAll(T0 + std::chrono::seconds(5))) {
        State.SkipWithError("a client got no frame");
        break;
      }
      State.SetIterationTime(std::chrono::duration<double>(Clock::now() - T0).count());
    }
  }
  Lib().Stop(Id);
}
BENCHMARK(BM_TcpFanOut)->Arg(1)->Arg(8)->Arg(64)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_MixerPairToClient(benchmark::State& State) {
  std::unique_ptr<TTCPAudioMixer> Mixer;
  uint16_t Port = 0;
  for (int Attempt = 0; !Mixer && Attempt < 20; ++Attempt) {
    Port = TransportTest::FreePort(false);
    try {
      Mixer = std::make_unique<TTCPAudioMixer>("127.0.0.1", Port);
    } catch (const Exception&) {
    }
  }
  if (!Mixer) {
    State.SkipWithError("mixer did not start");
    return;
  }
  asio::io_context Io;
  tcp::socket Client(Io);
  Client.connect(tcp::endpoint(Loopback, Port));
  while (Mixer->ClientCount() == 0) std::this_thread::yield();
  const std::vector<uint8_t> Sent(TTCPAudioMixer::ChunkSize, 0x11), Received(TTCPAudioMixer::ChunkSize, 0x22);
  std::vector<char> Frame(TTCPAudioMixer::FrameSize);
  for (auto _ : State) {
    // One channel's chunk, then the other's, which completes the pair.
    Mixer->AddBuffer(Received.data(), TTCPAudioMixer::ChunkSize, TTCPAudioMixer::ReceivedChannel);
    const auto T0 = Clock::now();
    Mixer->AddBuffer(Sent.data(), TTCPAudioMixer::ChunkSize, TTCPAudioMixer::SentChannel);
    asio::read(Client, asio::buffer(Frame));
    State.SetIterationTime(std::chrono::duration<double>(Clock::now() - T0).count());
  }
  Client.close();
  Mixer.reset();
}
BENCHMARK(BM_MixerPairToClient)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- report -----------------------------------------------------------------------

// Prints each result against the baseline of its group, by wall-clock time.
class TReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& Runs) override {
    ConsoleReporter::ReportRuns(Runs);
    for (const Run& R : Runs)
      if (R.run_type == Run::RT_Iteration && !R.error_occurred)
        FResults.emplace_back(R.benchmark_name(), R.GetAdjustedRealTime() * Scale(R.time_unit));
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto Find = [&](const std::string& Name) {
      for (const auto& [N, Ns] : FResults)
        if (N.rfind(Name + "/", 0) == 0) return Ns;
      return 0.0;
    };
    std::printf("\n%-36s %14s %12s\n", "benchmark", "us (wall)", "x baseline");
    for (const auto& [Full, Ns] : FResults) {
      const std::string Name = Full.substr(0, Full.find("/real_time")).substr(0, Full.find("/manual_time"));
      const bool Udp = Name.rfind("BM_Udp", 0) == 0;
      const double Base = Find(Udp ? "BM_UdpBlockingLoop" : "BM_TcpLoopbackWriteRead");
      std::printf("%-36s %14.1f %12.2f\n", Name.c_str(), Ns / 1e3, Base > 0 ? Ns / Base : 0.0);
    }
    const double Loop = Find("BM_UdpBlockingLoop"), Lib = Find("BM_UdpLibraryToCallback");
    if (Loop > 0 && Lib > 0)
      std::printf("\nUDP datagrams/s: blocking loop %.0f, library %.0f, library/loop %.2f (at least 0.50 wanted)\n",
                  Batch * 1e9 / Loop, Batch * 1e9 / Lib, Loop / Lib);
    std::fflush(stdout);
  }

private:
  static double Scale(benchmark::TimeUnit U) { return BenchRatio::NsPerUnit(U); }
  std::vector<std::pair<std::string, double>> FResults;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  benchmark::Shutdown();
  return 0;
}
