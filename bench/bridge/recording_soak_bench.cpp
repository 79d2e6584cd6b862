// The recording stream over a long call: the real program ("Brenvic run" on
// virtual devices, logging off) with one peer that talks for four seconds and
// pauses for one, again and again, and a recording client on the TCP stream.
// Every ten seconds: the stream's bytes so far and the program's resident
// memory. At the end: the stream's rate against the 16000 bytes a second of
// two A-law channels, and how the resident memory moved.
//
//   recording_soak_bench [seconds]   (600 by default)

#include <poll.h>

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

// Talks at 50 packets a second for TalkMs, then is silent for PauseMs, until
// told to stop; the bridge's packets to it are read and thrown away.
void Peer(int Fd, uint16_t BridgePort, const std::atomic<bool>& Stop) {
  constexpr int TalkMs = 4000, PauseMs = 1000;
  std::vector<uint8_t> Packet(172, 0x55);
  Packet[0] = 0x80;
  Packet[1] = 8;
  const uint32_t Ssrc = 0x50AC50AC;
  for (int I = 0; I < 4; ++I) Packet[8 + I] = static_cast<uint8_t>(Ssrc >> (24 - 8 * I));
  const auto T0 = TClock::now();
  uint16_t Seq = 0;
  for (int64_t AtMs = 0; !Stop; AtMs += 20) {
    if (AtMs % (TalkMs + PauseMs) >= TalkMs) continue;
    std::this_thread::sleep_until(T0 + std::chrono::milliseconds(AtMs));
    Packet[2] = static_cast<uint8_t>(Seq >> 8);
    Packet[3] = static_cast<uint8_t>(Seq);
    const uint32_t Ts = static_cast<uint32_t>(AtMs * 8);
    for (int I = 0; I < 4; ++I) Packet[4 + I] = static_cast<uint8_t>(Ts >> (24 - 8 * I));
    for (int I = 12; I < 172; ++I) Packet[I] = static_cast<uint8_t>(Seq + I);
    ++Seq;
    SendTo(Fd, BridgePort, Packet.data(), Packet.size());
    Drain(Fd);
  }
}

int TcpConnect(uint16_t Port) {
  const int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(Port);
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int Attempt = 0; Attempt < 100; ++Attempt) {
    if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A)) == 0) return Fd;
    std::this_thread::sleep_for(50ms);
  }
  close(Fd);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int Seconds = argc > 1 ? std::max(20, std::atoi(argv[1])) : 600;
  const fs::path Work = fs::temp_directory_path() / ("brenvic-soak-" + std::to_string(getpid()));
  fs::create_directories(Work);
  for (const char* Name : {"Brenvic", "srv_TAVEK_TPKT_Transport.so", "LogClient.so"})
    fs::copy_file(fs::path(Platform::ExeDir()) / Name, Work / Name, fs::copy_options::overwrite_existing);
  const uint16_t UdpPort = FreePort(SOCK_DGRAM), TcpPort = FreePort(SOCK_STREAM);
  std::ofstream(Work / "Brenvic.ini", std::ios::binary)
      << "[Options]\r\nDoLog=0\r\nLocalIP=127.0.0.1\r\nLocalPort=" << UdpPort
      << "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" << TcpPort
      << "\r\nDisconnectTimeOut=5000\r\nRecDeviceID=Soak\r\nPlayDeviceID=Soak\r\n"
         "[VirtualDevices]\r\nCapture1=Soak Microphone|tone=1000\r\nPlayback1=Soak Earphone|file=ear.raw\r\n";
  TChild Bridge({(Work / "Brenvic").string(), "run"}, Work / "console.out", Work);
  const int Client = TcpConnect(TcpPort);
  if (Bridge.Pid() <= 0 || Client < 0) {
    std::fprintf(stderr, "the bridge did not start\n");
    return 1;
  }
  std::atomic<bool> Stop{false};
  const int PeerFd = UdpSocket();
  std::thread Talker(Peer, PeerFd, UdpPort, std::cref(Stop));

  // Counted from the first frame on: the stream starts with the peer.
  std::vector<char> Buf(65536);
  uint64_t Bytes = 0, BeforeSpan = 0;  // the first read opens the span, it is not in it
  TClock::time_point First{}, Last{};
  std::vector<std::pair<double, long>> Samples;  // seconds, resident kB
  const auto End = TClock::now() + std::chrono::seconds(Seconds);
  auto NextSample = TClock::now() + 10s;
  while (TClock::now() < End) {
    pollfd P{Client, POLLIN, 0};
    if (poll(&P, 1, 100) > 0) {
      const ssize_t N = recv(Client, Buf.data(), Buf.size(), 0);
      if (N <= 0) break;
      if (Bytes == 0) {
        First = TClock::now();
        BeforeSpan = static_cast<uint64_t>(N);
      }
      Bytes += static_cast<uint64_t>(N);
      Last = TClock::now();
    }
    if (TClock::now() >= NextSample) {
      Samples.emplace_back(std::chrono::duration<double>(TClock::now() - First).count(), Bridge.StatusKb("VmRSS"));
      std::printf("%7.0f s  %10llu bytes  %6ld kB resident\n", Samples.back().first,
                  static_cast<unsigned long long>(Bytes), Samples.back().second);
      std::fflush(stdout);
      NextSample += 10s;
    }
  }
  Stop = true;
  Talker.join();
  close(Client);
  close(PeerFd);
  Bridge.Stop();
  fs::remove_all(Work);

  const double Span = std::chrono::duration<double>(Last - First).count();
  if (Samples.size() < 2 || Span <= 0) {
    std::fprintf(stderr, "too little of the stream arrived\n");
    return 1;
  }
  const double Rate = static_cast<double>(Bytes - BeforeSpan) / Span;
  long Low = Samples[1].second, High = Samples[1].second;  // from the second sample: after the start
  for (size_t I = 1; I < Samples.size(); ++I) {
    Low = std::min(Low, Samples[I].second);
    High = std::max(High, Samples[I].second);
  }
  std::printf("\nstream: %.1f bytes/s over %.0f s, %.3f %% from 16000\n", Rate, Span, (Rate / 16000.0 - 1.0) * 100.0);
  std::printf("resident: %ld kB at 20 s, %ld kB at the end, %ld..%ld kB from 20 s on\n", Samples[1].second,
              Samples.back().second, Low, High);
  return 0;
}
