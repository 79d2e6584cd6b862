#pragma once
// Small helpers shared by the test programs.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace TestSupport {

// Hex digits in either case; blanks between them are ignored.
inline std::vector<uint8_t> Hex(std::string_view Text) {
  std::vector<uint8_t> B;
  int High = -1;
  for (char C : Text) {
    if (C == ' ') continue;
    const int N = C <= '9' ? C - '0' : (C | 0x20) - 'a' + 10;
    if (High < 0) {
      High = N;
    } else {
      B.push_back(static_cast<uint8_t>(High << 4 | N));
      High = -1;
    }
  }
  return B;
}

// Waits until Done holds, looking every millisecond for at most TimeoutMs; the
// last look counts, so a state reached just at the time-out still passes. The
// tests wait so for what another thread does, rather than sleep a guessed time.
template <typename TDone>
bool WaitUntil(TDone Done, int TimeoutMs = 5000) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() >= Deadline) return Done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A fresh directory, removed with everything in it at the end of the scope.
class TTempDir {
public:
  TTempDir() {
    std::random_device Rd;
    const auto Base = std::filesystem::temp_directory_path();
    for (;;) {
      FPath = Base / ("brenvic-test-" + std::to_string(Rd()) + std::to_string(Rd()));
      if (std::filesystem::create_directory(FPath)) break;
    }
  }
  ~TTempDir() {
    std::error_code Ec;
    std::filesystem::remove_all(FPath, Ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  // The directory as the program writes it: with its trailing separator.
  std::string Dir() const { return (FPath / "").string(); }

private:
  std::filesystem::path FPath;
};

inline std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream S;
  S << In.rdbuf();
  return S.str();
}

inline void WriteFile(const std::filesystem::path& Path, const std::string& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

// Splits a text at CR LF; a trailing CR LF gives no empty last element.
inline std::vector<std::string> SplitCrLf(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Pos = 0;
  while (Pos < Text.size()) {
    const size_t End = Text.find("\r\n", Pos);
    if (End == std::string::npos) {
      Lines.push_back(Text.substr(Pos));
      break;
    }
    Lines.push_back(Text.substr(Pos, End - Pos));
    Pos = End + 2;
  }
  return Lines;
}

// A configuration that runs without sound hardware: loopback ports and virtual
// devices, a tone for the microphone and a file for the earpiece.
inline std::string HeadlessIni(uint16_t UdpPort, uint16_t TcpPort, bool DoLog = true) {
  return std::string("[Options]\r\nDoLog=") + (DoLog ? "1" : "0") +
         "\r\nLocalIP=127.0.0.1\r\nLocalPort=" + std::to_string(UdpPort) +
         "\r\nRemoteIP=127.0.0.1\r\nRemotePort=9\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" +
         std::to_string(TcpPort) +
         "\r\nRecDeviceID=Test\r\nPlayDeviceID=Test\r\n"
         "[VirtualDevices]\r\nCapture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n";
}

}  // namespace TestSupport
