#pragma once
// The real program as a child process for the benchmarks of the running bridge,
// and the loopback sockets that talk to it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace BenchBridge {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline int UdpSocket() {
  const int Fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
  return Fd;
}

inline uint16_t PortOf(int Fd) {
  sockaddr_in A{};
  socklen_t L = sizeof(A);
  getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
  return ntohs(A.sin_port);
}

inline uint16_t FreePort(int Type) {
  const int Fd = socket(AF_INET, Type, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
  const uint16_t Port = PortOf(Fd);
  close(Fd);
  return Port;
}

inline void SendTo(int Fd, uint16_t Port, const void* Data, size_t Size) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(Port);
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(Fd, Data, Size, 0, reinterpret_cast<sockaddr*>(&A), sizeof(A));
}

// A TCP connection to a loopback port, tried up to Attempts times 50 ms apart
// (a program that has just started may not listen yet); -1 when refused.
inline int TcpConnect(uint16_t Port, int Attempts = 100) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(Port);
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int Attempt = 0; Attempt < Attempts; ++Attempt) {
    const int Fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A)) == 0) return Fd;
    close(Fd);
    if (Attempt + 1 < Attempts) std::this_thread::sleep_for(50ms);
  }
  return -1;
}

inline size_t Drain(int Fd) {
  char Buf[2048];
  size_t N = 0;
  while (recv(Fd, Buf, sizeof(Buf), MSG_DONTWAIT) > 0) ++N;
  return N;
}

// One thread of a child: nanoseconds on the CPU, context switches (all, and
// of them the forced ones), realtime or not.
struct TThreadTimes {
  uint64_t Ns = 0;
  uint64_t Switches = 0, Forced = 0;
  bool Realtime = false;
};

class TChild {
public:
  TChild(std::vector<std::string> Args, const fs::path& Output, const fs::path& Dir) {
    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, Output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    const std::string Cwd = fs::current_path();
    fs::current_path(Dir);
    if (posix_spawnp(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ) != 0) FPid = 0;
    fs::current_path(Cwd);
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~TChild() { Stop(); }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  pid_t Pid() const { return FPid; }
  void Stop() {
    if (FPid <= 0) return;
    kill(FPid, SIGINT);
    for (int I = 0; I < 300; ++I) {
      if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = 0;
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = 0;
  }

  // CPU seconds of every thread so far, from the scheduler's own count of
  // each thread's time on the CPU (the user and system times of the process
  // are sampled at the clock tick, too coarse for threads that run a few
  // dozen microseconds at a time).
  double CpuSeconds() const {
    uint64_t Ns = 0;
    for (const auto& [Tid, T] : ThreadTimes()) Ns += T.Ns;
    return static_cast<double>(Ns) / 1e9;
  }
  // Per thread so far: its time on the CPU, its context switches and whether
  // it runs at a realtime priority (the session thread does when the system
  // allows it).
  std::map<int, TThreadTimes> ThreadTimes() const {
    std::map<int, TThreadTimes> R;
    const fs::path Tasks = "/proc/" + std::to_string(FPid) + "/task";
    std::error_code Ec;
    for (const auto& T : fs::directory_iterator(Tasks, Ec)) {
      TThreadTimes& Times = R[std::atoi(T.path().filename().c_str())];
      std::ifstream(T.path() / "schedstat") >> Times.Ns;
      std::string Line;
      std::getline(std::ifstream(T.path() / "stat"), Line);
      std::istringstream Fields(Line.substr(Line.rfind(')') + 2));
      std::string F;
      long Priority = 20;
      for (int I = 3; I <= 18 && Fields >> F; ++I)
        if (I == 18) Priority = std::atol(F.c_str());
      Times.Realtime = Priority < 0;
      std::ifstream Status(T.path() / "status");
      for (std::string S; std::getline(Status, S);) {
        if (S.rfind("voluntary_ctxt_switches:", 0) == 0) Times.Switches += std::strtoull(S.c_str() + 24, nullptr, 10);
        if (S.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
          Times.Forced = std::strtoull(S.c_str() + 27, nullptr, 10);
          Times.Switches += Times.Forced;
        }
      }
    }
    return R;
  }
  // CPU seconds so far of the threads named Name (/proc/PID/task/TID/comm).
  double NamedThreadCpuSeconds(const std::string& Name) const {
    uint64_t Ns = 0;
    std::error_code Ec;
    for (const auto& T : fs::directory_iterator("/proc/" + std::to_string(FPid) + "/task", Ec)) {
      std::string Comm;
      std::getline(std::ifstream(T.path() / "comm"), Comm);
      uint64_t ThreadNs = 0;
      if (Comm == Name && std::ifstream(T.path() / "schedstat") >> ThreadNs) Ns += ThreadNs;
    }
    return static_cast<double>(Ns) / 1e9;
  }
  // A field of /proc/PID/status in kB (VmRSS, VmHWM).
  long StatusKb(const std::string& Key) const {
    std::ifstream In("/proc/" + std::to_string(FPid) + "/status");
    for (std::string Line; std::getline(In, Line);)
      if (Line.rfind(Key + ":", 0) == 0) return std::atol(Line.c_str() + Key.size() + 1);
    return 0;
  }

private:
  pid_t FPid = 0;
};

}  // namespace BenchBridge
