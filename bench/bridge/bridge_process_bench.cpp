// The running bridge as a whole: CPU time and resident memory of the real
// program ("Brenvic run" on virtual devices, logging off) while it converses
// with 1 and with 8 peers, side by side with two GStreamer pipelines doing the
// comparable job in the same run and under the same load. The plain one:
//
//   udpsrc ! rtppcmadepay ! filesink sync=true        (the received audio, on time)
//   audiotestsrc ! alawenc ! rtppcmapay ! multiudpsink (a tone to every peer)
//
// and the one with a jitter buffer, as a receiver that orders and times the
// packets would be built:
//
//   udpsrc ! rtpjitterbuffer latency=40 ! rtppcmadepay ! alawdec ! audioconvert
//          ! alawenc ! filesink sync=true
//   audiotestsrc is-live=true samplesperbuffer=160 ! alawenc ! rtppcmapay ! multiudpsink
//
// Like the pipelines, the bridge leaves the system's audio stack alone: its
// virtual devices stand for the headset, and the system's devices are not
// listed (SystemDevices=0), which on a machine whose ALSA configuration
// brings in the PulseAudio client saves several megabytes of libraries.
//
// The bridge for its part receives, checks, buffers and plays (to a file) the
// talking peer's audio, captures its tone and sends every packet to all peers,
// and feeds its recording mixer. One peer talks at 50 packets a second; the
// other peers listen and, to stay peers of the bridge, send a start datagram
// once a second. Both programs get the same peers (sockets of their own).
//
// A second bridge does the same with the call encrypted ([Srtp], the default
// suite): its talking peer sends SRTP, and it sends SRTP to every peer. Its
// CPU beside the plain bridge's is what encryption costs the running program.
//
// The programs wake a few times per packet and little else, so a single
// minute swings by a tenth or more with what else the machine does: several
// rounds (1 peer, 8 peers, 1 peer, ...) give the median ratio. The bridge's
// threads are listed with their CPU time and their wake-ups (context switches,
// voluntary and forced) per second.
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
#include "srtp/srtp.h"

namespace {

using namespace BenchBridge;

struct TResult {
  double CpuMsPerSecond = 0;
  long RssKb = 0, PeakKb = 0;
  double PacketsPerPeerPerSecond = 0;
  std::vector<std::pair<double, TThreadTimes>> Threads;  // ms per second and the rest per second; busiest first
};

// The programs of one row: the bridge, the bridge with SRTP, the plain pipeline,
// the one with a jitter buffer.
constexpr int Programs = 4;
enum { Plain, Srtp, GstPlain, GstJitter };
const char* const ProgramNames[Programs] = {"bridge", "bridge srtp", "gst plain", "gst jitter"};

// The encrypted bridge's keys: it receives with the first, sends with the second.
const char* const ReceiveKeyBase64 = "gIuWoay3ws3Y4+75BA8aJTA7RlFcZ3J9iJOeqbS/";
const char* const SendKeyBase64 = "EBceJSwzOkFIT1ZdZGtyeYCHjpWco6qxuL/GzdTb";
TSrtpMasterKey ReceiveKey() {
  uint8_t B[30];
  for (uint8_t I = 0; I < 30; ++I) B[I] = static_cast<uint8_t>(0x80 + 11 * I);
  return TSrtpMasterKey(TSrtpSuite::AesCm128HmacSha1_80, B);
}

struct TRow {
  TResult R[Programs];
};

std::vector<std::string> GstArgs(bool JitterBuffer, uint16_t Port, const std::string& Clients) {
  std::vector<std::string> A = {"gst-launch-1.0", "-q", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(Port),
                                "caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMA,payload=8", "!"};
  if (JitterBuffer) A.insert(A.end(), {"rtpjitterbuffer", "latency=40", "!"});
  A.insert(A.end(), {"rtppcmadepay", "!"});
  if (JitterBuffer) A.insert(A.end(), {"alawdec", "!", "audioconvert", "!", "alawenc", "!"});
  A.insert(A.end(), {"filesink", "location=ear.raw", "sync=true", "audiotestsrc", "is-live=true", "freq=1000",
                     "samplesperbuffer=160", "!", "audio/x-raw,rate=8000,channels=1", "!", "alawenc", "!",
                     "rtppcmapay", "max-ptime=20000000", "!", "multiudpsink", "clients=" + Clients});
  return A;
}

TRow Run(int Peers, int Seconds, const fs::path& Work) {
  fs::path Dir[Programs];
  for (int P = 0; P < Programs; ++P) {
    Dir[P] = Work / (std::string(P == Plain ? "bridge" : P == Srtp ? "srtp" : P == GstPlain ? "gst" : "gstjb") +
                     std::to_string(Peers));
    fs::create_directories(Dir[P]);
  }
  uint16_t Port[Programs];
  for (uint16_t& P : Port) P = FreePort(SOCK_DGRAM);
  for (int P : {Plain, Srtp}) {
    for (const char* Name : {"Brenvic", "srv_TAVEK_TPKT_Transport.so", "LogClient.so"})
      fs::copy_file(fs::path(Platform::ExeDir()) / Name, Dir[P] / Name, fs::copy_options::overwrite_existing);
    std::ofstream(Dir[P] / "Brenvic.ini", std::ios::binary)
        << "[Options]\r\nDoLog=0\r\nLocalIP=127.0.0.1\r\nLocalPort=" << Port[P]
        << "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" << FreePort(SOCK_STREAM)
        << "\r\nDisconnectTimeOut=5000\r\nRecDeviceID=Bench\r\nPlayDeviceID=Bench\r\n"
           "[VirtualDevices]\r\nSystemDevices=0\r\nCapture1=Bench Microphone|tone=1000\r\nPlayback1=Bench Earphone|file=ear.raw\r\n"
        << (P == Srtp ? std::string("[Srtp]\r\nSendKey=inline:") + SendKeyBase64 + "\r\nReceiveKey=inline:" +
                            ReceiveKeyBase64 + "\r\n"
                      : std::string());
  }

  // Every program gets peer sockets of its own.
  std::vector<int> To[Programs];
  std::string Clients[Programs];
  for (int P = 0; P < Programs; ++P)
    for (int I = 0; I < Peers; ++I) {
      To[P].push_back(UdpSocket());
      if (I) Clients[P] += ',';
      Clients[P] += "127.0.0.1:" + std::to_string(PortOf(To[P].back()));
    }

  TChild Bridge({(Dir[Plain] / "Brenvic").string(), "run"}, Dir[Plain] / "console.out", Dir[Plain]);
  TChild Encrypted({(Dir[Srtp] / "Brenvic").string(), "run"}, Dir[Srtp] / "console.out", Dir[Srtp]);
  TChild Gst(GstArgs(false, Port[GstPlain], Clients[GstPlain]), Dir[GstPlain] / "gst.out", Dir[GstPlain]);
  TChild Jitter(GstArgs(true, Port[GstJitter], Clients[GstJitter]), Dir[GstJitter] / "gst.out", Dir[GstJitter]);
  const TChild* Child[Programs] = {&Bridge, &Encrypted, &Gst, &Jitter};
  for (const TChild* C : Child)
    if (C->Pid() <= 0) {
      std::fprintf(stderr, "cannot start the bridge or gst-launch-1.0\n");
      std::exit(1);
    }

  std::string Packet(172, static_cast<char>(0xD5));
  Packet[0] = static_cast<char>(0x80);
  Packet[1] = 8;
  const char Hello[20] = {};
  TSrtpSender Protector(ReceiveKey());
  uint8_t Protected[172 + SrtpMaxOverhead];
  const int Warmup = 100;  // two seconds before the counting starts
  double Cpu0[Programs] = {};
  std::map<int, TThreadTimes> Threads0;
  size_t Received[Programs] = {};
  TRow R;
  const auto Start = TClock::now();
  for (int N = 0; N < Warmup + Seconds * 50; ++N) {
    std::this_thread::sleep_until(Start + N * 20ms);
    if (N == Warmup) {
      Threads0 = Bridge.ThreadTimes();
      for (int P = 0; P < Programs; ++P) {
        Cpu0[P] = Child[P]->CpuSeconds();
        Received[P] = 0;
      }
    }
    Packet[2] = static_cast<char>(N >> 8);
    Packet[3] = static_cast<char>(N);
    const uint32_t Ts = 160u * static_cast<uint32_t>(N);
    for (int B = 0; B < 4; ++B) Packet[4 + B] = static_cast<char>(Ts >> (24 - 8 * B));
    std::memcpy(Protected, Packet.data(), Packet.size());
    const size_t ProtectedSize = Protector.ProtectRtp(Protected, Packet.size(), sizeof(Protected));
    for (int P = 0; P < Programs; ++P)
      if (P == Srtp)
        SendTo(To[P][0], Port[P], Protected, ProtectedSize);
      else
        SendTo(To[P][0], Port[P], Packet.data(), Packet.size());
    if (N % 50 == 0)
      for (int P : {Plain, Srtp})
        for (int I = 1; I < Peers; ++I) SendTo(To[P][I], Port[P], Hello, sizeof(Hello));
    for (int P = 0; P < Programs; ++P)
      for (int Fd : To[P]) Received[P] += Drain(Fd);
  }
  for (const auto& [Tid, T] : Bridge.ThreadTimes()) {
    const TThreadTimes& Before = Threads0[Tid];
    TThreadTimes PerSecond = T;
    PerSecond.Switches = (T.Switches - Before.Switches) / static_cast<uint64_t>(Seconds);
    PerSecond.Forced = (T.Forced - Before.Forced) / static_cast<uint64_t>(Seconds);
    R.R[0].Threads.emplace_back(static_cast<double>(T.Ns - Before.Ns) / 1e6 / Seconds, PerSecond);
  }
  std::sort(R.R[0].Threads.begin(), R.R[0].Threads.end(),
            [](const auto& A, const auto& B) { return A.first > B.first; });
  for (int P = 0; P < Programs; ++P) {
    R.R[P].CpuMsPerSecond = (Child[P]->CpuSeconds() - Cpu0[P]) * 1000 / Seconds;
    R.R[P].RssKb = Child[P]->StatusKb("VmRSS");
    R.R[P].PeakKb = Child[P]->StatusKb("VmHWM");
    R.R[P].PacketsPerPeerPerSecond = static_cast<double>(Received[P]) / Peers / Seconds;
  }
  Bridge.Stop();
  Encrypted.Stop();
  Gst.Stop();
  Jitter.Stop();
  for (const auto& Fds : To)
    for (int Fd : Fds) close(Fd);
  return R;
}

double Median(std::vector<double> V) {
  std::sort(V.begin(), V.end());
  return V.empty() ? 0.0 : V[V.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const int Rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  const fs::path Work = fs::temp_directory_path() / ("bridge-process-" + std::to_string(std::random_device()()));
  fs::create_directories(Work);
  std::vector<std::pair<int, TRow>> Results;
  for (int Round = 0; Round < Rounds; ++Round)
    for (int Peers : {1, 8}) Results.emplace_back(Peers, Run(Peers, Seconds, Work));

  std::printf("bridge and two GStreamer pipelines side by side, %d s per row, CPU of every thread of each process\n",
              Seconds);
  std::printf("%-6s %-11s %14s %12s %10s %10s %14s\n", "peers", "program", "CPU ms per s", "% of a core", "RSS kB",
              "peak kB", "pkts/peer/s");
  for (const auto& [Peers, Row] : Results)
    for (int P = 0; P < Programs; ++P)
      std::printf("%-6d %-11s %14.2f %12.2f %10ld %10ld %14.1f\n", Peers, ProgramNames[P], Row.R[P].CpuMsPerSecond,
                  Row.R[P].CpuMsPerSecond / 10, Row.R[P].RssKb, Row.R[P].PeakKb, Row.R[P].PacketsPerPeerPerSecond);
  std::printf("\nthe bridge's threads: CPU ms per s / wake-ups per s (of them forced)\n");
  for (const auto& [Peers, Row] : Results) {
    std::printf("%d peer(s):", Peers);
    uint64_t Wakes = 0;
    for (const auto& [Ms, T] : Row.R[0].Threads) {
      std::printf("  %.2f/%llu(%llu)%s", Ms, static_cast<unsigned long long>(T.Switches),
                  static_cast<unsigned long long>(T.Forced), T.Realtime ? " session" : "");
      Wakes += T.Switches;
    }
    std::printf("  = %llu wake-ups per s\n", static_cast<unsigned long long>(Wakes));
  }
  std::printf("\n%-6s %14s %14s %14s %14s %14s   %s\n", "peers", "CPU x plain", "CPU x jitter", "RSS x plain",
              "RSS x jitter", "SRTP CPU x", "(median of the rounds; SRTP: the encrypted bridge's CPU x the plain "
              "bridge's, each round)");
  bool Met = true, SrtpMet = true;
  for (int Peers : {1, 8}) {
    std::vector<double> Cpu[Programs], Rss[Programs];
    for (const auto& [N, Row] : Results) {
      if (N != Peers) continue;
      const TResult& Ours = Row.R[Plain];
      for (int P = Srtp; P < Programs; ++P) {
        const TResult& Other = Row.R[P];
        // The encrypted bridge against the plain one; the plain one against the pipelines.
        const TResult& Num = P == Srtp ? Other : Ours;
        const TResult& Den = P == Srtp ? Ours : Other;
        Cpu[P].push_back(Den.CpuMsPerSecond > 0 ? Num.CpuMsPerSecond / Den.CpuMsPerSecond : 0.0);
        Rss[P].push_back(Den.RssKb > 0 ? static_cast<double>(Num.RssKb) / static_cast<double>(Den.RssKb) : 0.0);
      }
    }
    Met = Met && Median(Cpu[GstPlain]) < 1.0 && Median(Cpu[GstJitter]) <= 0.5 && Median(Rss[GstJitter]) <= 0.5;
    SrtpMet = SrtpMet && Median(Cpu[Srtp]) <= 1.10;
    std::printf("%-6d %14.2f %14.2f %14.2f %14.2f %14.2f  ", Peers, Median(Cpu[GstPlain]), Median(Cpu[GstJitter]),
                Median(Rss[GstPlain]), Median(Rss[GstJitter]), Median(Cpu[Srtp]));
    for (double C : Cpu[Srtp]) std::printf(" %.2f", C);
    std::printf("\n");
  }
  std::printf("target: CPU under the plain pipeline's, at most half the jitter pipeline's, RSS at most half the "
              "jitter pipeline's (medians): %s\n",
              Met ? "met" : "NOT met");
  std::printf("target: the encrypted bridge's CPU within 10 %% of the plain bridge's (medians): %s\n",
              SrtpMet ? "met" : "NOT met");
  std::error_code Ec;
  fs::remove_all(Work, Ec);
  return 0;
}
