// What the monitoring endpoint costs: two copies of the real program ("Brenvic
// run" on virtual devices, logging off), each with one peer talking at 50
// packets a second and a recording client, side by side under the same load;
// one of them has its endpoint scraped once a second, the other has none.
// CPU as the scheduler's count of every thread's time on the CPU.
//
//   metrics_cost_bench [seconds] [rounds]   (60 s, 3 rounds)

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge_child_posix.h"
#include "platform/paths.h"

namespace {

using namespace BenchBridge;

struct TBridgeCopy {
  TBridgeCopy(const fs::path& Dir, bool Metrics) : Dir(Dir) {
    fs::create_directories(Dir);
    for (const char* Name : {"Brenvic", "srv_TAVEK_TPKT_Transport.so", "LogClient.so"})
      fs::copy_file(fs::path(Platform::ExeDir()) / Name, Dir / Name, fs::copy_options::overwrite_existing);
    UdpPort = FreePort(SOCK_DGRAM);
    TcpPort = FreePort(SOCK_STREAM);
    MetricsPort = Metrics ? FreePort(SOCK_STREAM) : 0;
    std::ofstream Ini(Dir / "Brenvic.ini", std::ios::binary);
    Ini << "[Options]\r\nDoLog=0\r\nLocalIP=127.0.0.1\r\nLocalPort=" << UdpPort
        << "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" << TcpPort
        << "\r\nDisconnectTimeOut=5000\r\nRecDeviceID=Bench\r\nPlayDeviceID=Bench\r\n"
           "[VirtualDevices]\r\nCapture1=Bench Microphone|tone=1000\r\nPlayback1=Bench Earphone|file=ear.raw\r\n";
    if (Metrics) Ini << "[Metrics]\r\nListen=127.0.0.1:" << MetricsPort << "\r\n";
  }
  fs::path Dir;
  uint16_t UdpPort = 0, TcpPort = 0, MetricsPort = 0;
};

// One GET /metrics; the bytes of the answer.
size_t Scrape(uint16_t Port) {
  const int Fd = TcpConnect(Port, 1);
  if (Fd < 0) return 0;
  const std::string Request = "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n";
  send(Fd, Request.data(), Request.size(), 0);
  char Buf[8192];
  size_t Total = 0;
  for (ssize_t N; (N = recv(Fd, Buf, sizeof(Buf), 0)) > 0;) Total += static_cast<size_t>(N);
  close(Fd);
  return Total;
}

// Both copies for Seconds: CPU ms per second of each (with metrics, without).
struct TRound {
  double With, Without, ServedShare;  // CPU ms/s of each copy; the endpoint thread's share of its copy
};

TRound Round(const fs::path& Work, int Seconds) {
  TBridgeCopy With(Work / "with", true), Without(Work / "without", false);
  TChild A({(With.Dir / "Brenvic").string(), "run"}, With.Dir / "console.out", With.Dir);
  TChild B({(Without.Dir / "Brenvic").string(), "run"}, Without.Dir / "console.out", Without.Dir);
  std::this_thread::sleep_for(1s);
  const int ClientA = TcpConnect(With.TcpPort), ClientB = TcpConnect(Without.TcpPort);
  const int PeerA = UdpSocket(), PeerB = UdpSocket();
  std::vector<uint8_t> Packet(172, 0x55);
  Packet[0] = 0x80;
  Packet[1] = 8;
  std::atomic<bool> Stop{false};
  std::thread Readers([&] {
    char Buf[65536];
    while (!Stop) {
      for (int Fd : {ClientA, ClientB}) recv(Fd, Buf, sizeof(Buf), MSG_DONTWAIT);
      std::this_thread::sleep_for(20ms);
    }
  });
  const double CpuA0 = A.CpuSeconds(), CpuB0 = B.CpuSeconds(), Served0 = A.NamedThreadCpuSeconds("brenvic-metrics");
  const auto T0 = TClock::now();
  size_t Scraped = 0;
  double ScrapeMs = 0;  // wall time of the scrapes, an upper bound of what they cost the bridge
  for (int I = 0; I < Seconds * 50; ++I) {
    std::this_thread::sleep_until(T0 + std::chrono::milliseconds(20 * I));
    Packet[2] = static_cast<uint8_t>(I >> 8);
    Packet[3] = static_cast<uint8_t>(I);
    SendTo(PeerA, With.UdpPort, Packet.data(), Packet.size());
    SendTo(PeerB, Without.UdpPort, Packet.data(), Packet.size());
    Drain(PeerA);
    Drain(PeerB);
    if (I % 50 == 25) {
      const auto S0 = TClock::now();
      Scraped += Scrape(With.MetricsPort) > 0;
      ScrapeMs += std::chrono::duration<double, std::milli>(TClock::now() - S0).count();
    }
  }
  const double Elapsed = std::chrono::duration<double>(TClock::now() - T0).count();
  const double CpuA = (A.CpuSeconds() - CpuA0) * 1000 / Elapsed, CpuB = (B.CpuSeconds() - CpuB0) * 1000 / Elapsed;
  const double Served = (A.NamedThreadCpuSeconds("brenvic-metrics") - Served0) * 1000 / Elapsed;
  Stop = true;
  Readers.join();
  for (int Fd : {ClientA, ClientB, PeerA, PeerB}) close(Fd);
  std::printf("round: with metrics %.2f ms/s (%zu scrapes, %.3f ms each end to end), without %.2f ms/s, ratio %.3f;"
              " the endpoint's own thread %.3f ms/s, %.2f %% of its bridge\n",
              CpuA, Scraped, Scraped ? ScrapeMs / Scraped : 0.0, CpuB, CpuA / CpuB, Served, 100 * Served / CpuA);
  std::fflush(stdout);
  return {CpuA, CpuB, Served / CpuA};
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
  const int Rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const fs::path Work = fs::temp_directory_path() / ("brenvic-metrics-" + std::to_string(getpid()));
  std::vector<double> Ratios, Shares;
  for (int R = 0; R < Rounds; ++R) {
    const TRound Result = Round(Work / std::to_string(R), Seconds);
    Ratios.push_back(Result.With / Result.Without);
    Shares.push_back(Result.ServedShare);
  }
  fs::remove_all(Work);
  std::sort(Ratios.begin(), Ratios.end());
  std::sort(Shares.begin(), Shares.end());
  // The ratio of two whole processes swings by a tenth with the machine's load;
  // the endpoint thread's own time is what the scrapes cost directly.
  std::printf("\nCPU with one scrape a second against none: median ratio %.3f over %d rounds of %d s;"
              " the endpoint's thread: median %.2f %% of its bridge's CPU\n",
              Ratios[Ratios.size() / 2], Rounds, Seconds, 100 * Shares[Shares.size() / 2]);
  return 0;
}
