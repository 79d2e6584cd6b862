#pragma once
// What the end-to-end tests share besides the bridge process: loopback
// sockets, INI texts, microphone files, RTP packets and checks on logs and raw
// files.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "bridge_process_posix.h"
#include "rtp/rtp_test_support.h"

namespace E2E {

using namespace std::chrono_literals;
using Bytes = std::string;

// ---- loopback sockets ---------------------------------------------------------

class TSocket {
public:
  TSocket(int Type, uint16_t Port = 0) : FFd(socket(AF_INET, Type, 0)) {
    const int One = 1;
    setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof(One));
    sockaddr_in A = Addr(Port);
    bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
  }
  ~TSocket() { close(FFd); }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  static sockaddr_in Addr(uint16_t Port) {
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(Port);
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return A;
  }
  uint16_t Port() const {
    sockaddr_in A{};
    socklen_t L = sizeof(A);
    getsockname(FFd, reinterpret_cast<sockaddr*>(&A), &L);
    return ntohs(A.sin_port);
  }
  void SetTimeout(std::chrono::milliseconds T) {
    timeval Tv{static_cast<time_t>(T.count() / 1000), static_cast<suseconds_t>((T.count() % 1000) * 1000)};
    setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof(Tv));
  }
  void SendTo(uint16_t Port, const Bytes& Data) {
    sockaddr_in A = Addr(Port);
    sendto(FFd, Data.data(), Data.size(), 0, reinterpret_cast<sockaddr*>(&A), sizeof(A));
  }
  // One datagram (or some stream bytes); empty on time-out. From: the
  // sender's port.
  Bytes Receive(uint16_t* From = nullptr) {
    char Buf[65536];
    sockaddr_in A{};
    socklen_t L = sizeof(A);
    const ssize_t N = recvfrom(FFd, Buf, sizeof(Buf), 0, reinterpret_cast<sockaddr*>(&A), &L);
    if (From) *From = ntohs(A.sin_port);
    return N > 0 ? Bytes(Buf, static_cast<size_t>(N)) : Bytes();
  }
  bool Connect(uint16_t Port) {
    sockaddr_in A = Addr(Port);
    return connect(FFd, reinterpret_cast<sockaddr*>(&A), sizeof(A)) == 0;
  }
  void Listen() { listen(FFd, 4); }
  int Fd() const { return FFd; }

private:
  int FFd;
};

inline uint16_t FreePort(int Type) {
  TSocket S(Type);
  return S.Port();
}

// A socket bound to Port on loopback (shared with others that reuse it too), or
// -1 when the port is taken: how a test sees that a program has bound it.
inline int BoundSocket(int Type, uint16_t Port, bool Reuse) {
  const int Fd = socket(AF_INET, Type, 0);
  const int One = 1;
  if (Reuse) {
    setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof(One));
    setsockopt(Fd, SOL_SOCKET, SO_REUSEPORT, &One, sizeof(One));
  }
  sockaddr_in A = TSocket::Addr(Port);
  if (bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A)) != 0) {
    close(Fd);
    return -1;
  }
  return Fd;
}

// A free UDP port whose next one is free too (RTP and RTCP side by side).
inline uint16_t FreePortPair() {
  for (;;) {
    const uint16_t Port = FreePort(SOCK_DGRAM);
    if (Port == 65535) continue;
    const int Here = BoundSocket(SOCK_DGRAM, Port, false), Next = BoundSocket(SOCK_DGRAM, Port + 1, false);
    if (Here >= 0) close(Here);
    if (Next >= 0) close(Next);
    if (Here >= 0 && Next >= 0) return Port;
  }
}

// A program found on the PATH (gst-launch-1.0, tshark), or empty.
inline std::string FindOnPath(const std::string& Program) {
  const char* Path = std::getenv("PATH");
  const std::string Dirs = Path ? Path : "/usr/bin:/bin";
  size_t From = 0;
  while (From <= Dirs.size()) {
    size_t End = Dirs.find(':', From);
    if (End == std::string::npos) End = Dirs.size();
    const std::string File = Dirs.substr(From, End - From) + "/" + Program;
    if (access(File.c_str(), X_OK) == 0) return File;
    From = End + 1;
  }
  return {};
}

// ---- helpers ------------------------------------------------------------------

// One HTTP GET on loopback; the whole response ("" when nothing came).
inline Bytes HttpGet(uint16_t Port, const std::string& Target) {
  TSocket S(SOCK_STREAM);
  if (!S.Connect(Port)) return "";
  S.SetTimeout(2000ms);
  const Bytes Request = "GET " + Target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (send(S.Fd(), Request.data(), Request.size(), 0) != static_cast<ssize_t>(Request.size())) return "";
  Bytes Response;
  for (Bytes Part = S.Receive(); !Part.empty(); Part = S.Receive()) Response += Part;
  return Response;
}

inline Bytes Body(const Bytes& Response) {
  const size_t At = Response.find("\r\n\r\n");
  return At == Bytes::npos ? "" : Response.substr(At + 4);
}

inline std::string Ini(uint16_t LocalPort, uint16_t RemotePort, uint16_t TcpPort, const std::string& Extra,
                const std::string& Devices) {
  return "[Options]\r\nDoLog=1\r\nLocalIP=127.0.0.1\r\nLocalPort=" + std::to_string(LocalPort) +
         "\r\nRemoteIP=127.0.0.1\r\nRemotePort=" + std::to_string(RemotePort) +
         "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" + std::to_string(TcpPort) +
         "\r\nRecDeviceID=Test\r\nPlayDeviceID=Test\r\n" + Extra + "[VirtualDevices]\r\n" + Devices;
}

// A microphone file: A-law bytes that never repeat within a few seconds.
inline Bytes MicFile(uint32_t Seed, size_t Size = 64000) {
  std::mt19937 R(Seed);
  Bytes B(Size, '\0');
  for (char& C : B) C = static_cast<char>(R());
  return B;
}

inline bool HasLine(const std::vector<std::string>& Lines, const std::string& Text) {
  for (const auto& L : Lines)
    if (L == Text) return true;
  return false;
}

// Stops a helper thread at the end of the scope, however the test leaves it.
struct TJoin {
  std::atomic<bool>& Flag;
  std::thread& Thread;
  ~TJoin() {
    Flag = false;
    if (Thread.joinable()) Thread.join();
  }
};

inline size_t CountContaining(const std::vector<std::string>& Lines, const std::string& Text) {
  size_t N = 0;
  for (const auto& L : Lines) N += L.find(Text) != std::string::npos;
  return N;
}

// True when every Block-sized piece of Part appears in Whole, in order.
inline bool PiecesInOrder(const Bytes& Part, const Bytes& Whole, size_t Block) {
  size_t From = 0;
  for (size_t I = 0; I + Block <= Part.size(); I += Block) {
    const size_t At = Whole.find(Part.substr(I, Block), From);
    if (At == Bytes::npos) return false;
    From = At + Block;
  }
  return true;
}

inline Bytes RawFile(const TBridge& B, const char* Prefix) {
  for (auto& E : std::filesystem::directory_iterator(B.Dir()))
    if (E.path().filename().string().rfind(Prefix, 0) == 0) return TestSupport::ReadFile(E.path());
  return "<missing>";
}

inline Bytes RtpPacket(uint16_t Seq, uint32_t Ts, uint32_t Ssrc, const Bytes& Payload) {
  return RtpTest::PacketText(Seq, Ts, Ssrc, Payload);
}

inline uint32_t SsrcOf(const Bytes& P) {
  uint32_t S = 0;
  for (int I = 0; I < 4; ++I) S = (S << 8) | static_cast<uint8_t>(P[8 + I]);
  return S;
}

// A child process with its output in a file; killed if still running at the end.
class TProcess {
public:
  TProcess(const std::vector<std::string>& Args, const std::string& Output) {
    std::vector<std::string> A = Args;
    std::vector<char*> Argv;
    for (auto& S : A) Argv.push_back(S.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, Output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    if (posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ) != 0) FPid = 0;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~TProcess() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  bool Started() const { return FPid > 0; }
  void Signal(int Sig) {
    if (FPid > 0) kill(FPid, Sig);
  }
  // The exit code, or -1 when it did not end within Limit (then it is killed).
  int Wait(std::chrono::milliseconds Limit) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (FPid > 0 && std::chrono::steady_clock::now() < Deadline) {
      int Status = 0;
      if (waitpid(FPid, &Status, WNOHANG) == FPid) {
        FPid = 0;
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

private:
  pid_t FPid = 0;
};

// The end of a call with a peer of another make: the peer hangs up (SIGINT lets
// GStreamer send its BYE), then the bridge stops and must exit cleanly.
inline void HangUp(TProcess& Peer, TBridge& B) {
  Peer.Signal(SIGINT);
  Peer.Wait(3s);
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(10s), 0);
}

// A figure of the call record line ("rtt=81.2ms" -> 81.2); NaN when absent.
inline double Figure(const std::string& Line, const std::string& Key) {
  std::smatch M;
  if (!std::regex_search(Line, M, std::regex(" " + Key + "=([0-9.]+)"))) return NAN;
  return std::stod(M[1]);
}

// One tools/impair_relay from Listen to Target with its impairment Options
// ("--delay", "30", ...), started at once, sending on from OutPort (any free
// one for 0); Stop ends it and reads what it counted.
class TRelay {
public:
  TRelay(const std::string& Dir, const std::string& Name, uint16_t Listen, uint16_t Target, uint16_t OutPort,
         const std::vector<std::string>& Options)
      : FListen(Listen), FOutput(Dir + "/relay_" + Name + ".out"), FProcess(Args(Listen, Target, OutPort, Options), FOutput) {}

  // Bound once a plain bind of its port fails.
  bool Ready() const {
    return TestSupport::WaitUntil([&] {
      const int Fd = BoundSocket(SOCK_DGRAM, FListen, false);
      if (Fd >= 0) close(Fd);
      return Fd < 0;
    });
  }
  // The share of what came in that it dropped, in percent.
  double Stop() {
    FProcess.Signal(SIGINT);
    FProcess.Wait(5s);
    unsigned long long In = 0, Lost = 0;
    const std::string Text = TestSupport::ReadFile(FOutput);
    const size_t At = Text.find("impair_relay: ");
    if (At == std::string::npos || std::sscanf(Text.c_str() + At, "impair_relay: in=%llu lost=%llu", &In, &Lost) != 2 ||
        In == 0) {
      ADD_FAILURE() << FOutput << ": " << Text;
      return -1;
    }
    return 100.0 * static_cast<double>(Lost) / static_cast<double>(In);
  }

private:
  static std::vector<std::string> Args(uint16_t Listen, uint16_t Target, uint16_t OutPort,
                                       const std::vector<std::string>& Options) {
    std::vector<std::string> A = {Platform::ExeDir() + "impair_relay", std::to_string(Listen), "127.0.0.1",
                                  std::to_string(Target)};
    A.insert(A.end(), Options.begin(), Options.end());
    if (OutPort != 0) A.insert(A.end(), {"--out-port", std::to_string(OutPort)});
    return A;
  }

  uint16_t FListen;
  std::string FOutput;
  TProcess FProcess;
};

}  // namespace E2E
