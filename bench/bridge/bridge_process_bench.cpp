// The running bridge as a whole: CPU time and resident memory of the real
// program ("Brenvic run" on virtual devices, logging off) while it converses
// with 1 and with 8 peers, side by side with a GStreamer pipeline doing the
// comparable job in the same run and under the same load:
//
//   udpsrc ! rtppcmadepay ! filesink sync=true        (the received audio, on time)
//   audiotestsrc ! alawenc ! rtppcmapay ! multiudpsink (a tone to every peer)
//
// The bridge for its part receives, checks, buffers and plays (to a file) the
// talking peer's audio, captures its tone and sends every packet to all peers,
// and feeds its recording mixer. One peer talks at 50 packets a second; the
// other peers listen and, to stay peers of the bridge, send a start datagram
// once a second. Both programs get the same peers (sockets of their own).
//
// Both programs wake a few times per packet and little else, so a single
// minute swings by a tenth or more with what else the machine does: several
// rounds (1 peer, 8 peers, 1 peer, ...) give the median ratio.
//
//   bridge_process_bench [seconds] [rounds]   (60 s per peer count, 1 round)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge_child_posix.h"
#include "platform/paths.h"

namespace {

using namespace BenchBridge;

struct TResult {
  double CpuMsPerSecond = 0;
  long RssKb = 0, PeakKb = 0;
  double PacketsPerPeerPerSecond = 0;
  std::vector<std::pair<double, bool>> Threads;  // ms per second, realtime; busiest first
};

struct TPair {
  TResult Bridge, Gst;
};

TPair Run(int Peers, int Seconds, const fs::path& Work) {
  const fs::path BridgeDir = Work / ("bridge" + std::to_string(Peers)), GstDir = Work / ("gst" + std::to_string(Peers));
  fs::create_directories(BridgeDir);
  fs::create_directories(GstDir);
  for (const char* Name : {"Brenvic", "srv_TAVEK_TPKT_Transport.so", "LogClient.so"})
    fs::copy_file(fs::path(Platform::ExeDir()) / Name, BridgeDir / Name, fs::copy_options::overwrite_existing);
  const uint16_t BridgePort = FreePort(SOCK_DGRAM), GstPort = FreePort(SOCK_DGRAM);
  std::ofstream(BridgeDir / "Brenvic.ini", std::ios::binary)
      << "[Options]\r\nDoLog=0\r\nLocalIP=127.0.0.1\r\nLocalPort=" << BridgePort
      << "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" << FreePort(SOCK_STREAM)
      << "\r\nDisconnectTimeOut=5000\r\nRecDeviceID=Bench\r\nPlayDeviceID=Bench\r\n"
         "[VirtualDevices]\r\nCapture1=Bench Microphone|tone=1000\r\nPlayback1=Bench Earphone|file=ear.raw\r\n";

  std::vector<int> ToBridge, ToGst;
  std::string Clients;
  for (int I = 0; I < Peers; ++I) {
    ToBridge.push_back(UdpSocket());
    ToGst.push_back(UdpSocket());
    if (I) Clients += ',';
    Clients += "127.0.0.1:" + std::to_string(PortOf(ToGst.back()));
  }

  TChild Bridge({(BridgeDir / "Brenvic").string(), "run"}, BridgeDir / "console.out", BridgeDir);
  TChild Gst({"gst-launch-1.0", "-q", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(GstPort),
              "caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMA,payload=8", "!", "rtppcmadepay",
              "!", "filesink", "location=ear.raw", "sync=true", "audiotestsrc", "is-live=true", "freq=1000",
              "samplesperbuffer=160", "!", "audio/x-raw,rate=8000,channels=1", "!", "alawenc", "!", "rtppcmapay",
              "max-ptime=20000000", "!", "multiudpsink", "clients=" + Clients},
             GstDir / "gst.out", GstDir);
  if (Bridge.Pid() <= 0 || Gst.Pid() <= 0) {
    std::fprintf(stderr, "cannot start the bridge or gst-launch-1.0\n");
    std::exit(1);
  }

  std::string Packet(172, static_cast<char>(0xD5));
  Packet[0] = static_cast<char>(0x80);
  Packet[1] = 8;
  const char Hello[20] = {};
  const int Warmup = 100;  // two seconds before the counting starts
  double Cpu0[2] = {}, Cpu1[2] = {};
  std::map<int, std::pair<uint64_t, bool>> Threads0;
  size_t Received[2] = {};
  TPair R;
  const auto Start = TClock::now();
  for (int N = 0; N < Warmup + Seconds * 50; ++N) {
    std::this_thread::sleep_until(Start + N * 20ms);
    if (N == Warmup) {
      Threads0 = Bridge.ThreadTimes();
      Cpu0[0] = Bridge.CpuSeconds();
      Cpu0[1] = Gst.CpuSeconds();
      Received[0] = Received[1] = 0;
    }
    Packet[2] = static_cast<char>(N >> 8);
    Packet[3] = static_cast<char>(N);
    const uint32_t Ts = 160u * static_cast<uint32_t>(N);
    for (int B = 0; B < 4; ++B) Packet[4 + B] = static_cast<char>(Ts >> (24 - 8 * B));
    SendTo(ToBridge[0], BridgePort, Packet.data(), Packet.size());
    SendTo(ToGst[0], GstPort, Packet.data(), Packet.size());
    if (N % 50 == 0)
      for (int I = 1; I < Peers; ++I) SendTo(ToBridge[I], BridgePort, Hello, sizeof(Hello));
    for (int I = 0; I < Peers; ++I) {
      Received[0] += Drain(ToBridge[I]);
      Received[1] += Drain(ToGst[I]);
    }
  }
  for (const auto& [Tid, T] : Bridge.ThreadTimes())
    R.Bridge.Threads.emplace_back(static_cast<double>(T.first - Threads0[Tid].first) / 1e6 / Seconds, T.second);
  std::sort(R.Bridge.Threads.rbegin(), R.Bridge.Threads.rend());
  Cpu1[0] = Bridge.CpuSeconds();
  Cpu1[1] = Gst.CpuSeconds();
  TResult* Out[2] = {&R.Bridge, &R.Gst};
  const TChild* Child[2] = {&Bridge, &Gst};
  for (int I = 0; I < 2; ++I) {
    Out[I]->CpuMsPerSecond = (Cpu1[I] - Cpu0[I]) * 1000 / Seconds;
    Out[I]->RssKb = Child[I]->StatusKb("VmRSS");
    Out[I]->PeakKb = Child[I]->StatusKb("VmHWM");
    Out[I]->PacketsPerPeerPerSecond = static_cast<double>(Received[I]) / Peers / Seconds;
  }
  Bridge.Stop();
  Gst.Stop();
  for (int Fd : ToBridge) close(Fd);
  for (int Fd : ToGst) close(Fd);
  return R;
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const int Rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  const fs::path Work = fs::temp_directory_path() / ("bridge-process-" + std::to_string(std::random_device()()));
  fs::create_directories(Work);
  std::vector<std::pair<int, TPair>> Results;
  for (int Round = 0; Round < Rounds; ++Round)
    for (int Peers : {1, 8}) Results.emplace_back(Peers, Run(Peers, Seconds, Work));

  std::printf("bridge and GStreamer side by side, %d s per row, CPU of every thread of each process\n", Seconds);
  std::printf("%-6s %-10s %14s %12s %10s %10s %14s\n", "peers", "program", "CPU ms per s", "% of a core", "RSS kB",
              "peak kB", "pkts/peer/s");
  for (const auto& [Peers, P] : Results)
    for (const auto& [Name, R] : {std::pair{"bridge", P.Bridge}, std::pair{"gstreamer", P.Gst}})
      std::printf("%-6d %-10s %14.2f %12.2f %10ld %10ld %14.1f\n", Peers, Name, R.CpuMsPerSecond,
                  R.CpuMsPerSecond / 10, R.RssKb, R.PeakKb, R.PacketsPerPeerPerSecond);
  for (const auto& [Peers, P] : Results) {
    std::printf("bridge with %d peer(s), ms per s by thread:", Peers);
    for (const auto& [Ms, Realtime] : P.Bridge.Threads) std::printf(" %.2f%s", Ms, Realtime ? " (realtime: session)" : "");
    std::printf("\n");
  }
  std::printf("\n%-6s %16s %16s   %s\n", "peers", "CPU x gstreamer", "RSS x gstreamer", "(median of the rounds; each round)");
  bool Met = true;
  for (int Peers : {1, 8}) {
    std::vector<double> Cpu, Rss;
    for (const auto& [N, P] : Results) {
      if (N != Peers) continue;
      Cpu.push_back(P.Gst.CpuMsPerSecond > 0 ? P.Bridge.CpuMsPerSecond / P.Gst.CpuMsPerSecond : 0.0);
      Rss.push_back(P.Gst.RssKb > 0 ? static_cast<double>(P.Bridge.RssKb) / static_cast<double>(P.Gst.RssKb) : 0.0);
    }
    std::vector<double> Sorted = Cpu;
    std::sort(Sorted.begin(), Sorted.end());
    std::sort(Rss.begin(), Rss.end());
    const double Median = Sorted[Sorted.size() / 2];
    Met = Met && Median < 1.0;
    std::printf("%-6d %16.2f %16.2f  ", Peers, Median, Rss[Rss.size() / 2]);
    for (double C : Cpu) std::printf(" %.2f", C);
    std::printf("\n");
  }
  std::printf("target: less CPU than the pipeline (median ratio under 1): %s\n", Met ? "met" : "NOT met");
  std::error_code Ec;
  fs::remove_all(Work, Ec);
  return 0;
}
