#pragma once
// The real program under Windows: copied with its two libraries into a folder of
// its own, its INI file written beside it, run with its standard output going to
// a file that the test reads back.

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "test_support.h"

namespace WinE2E {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class THandle {
public:
  explicit THandle(HANDLE H = nullptr) : FHandle(H == INVALID_HANDLE_VALUE ? nullptr : H) {}
  ~THandle() { Reset(); }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  void Reset(HANDLE H = nullptr) {
    if (FHandle) CloseHandle(FHandle);
    FHandle = H == INVALID_HANDLE_VALUE ? nullptr : H;
  }
  HANDLE Get() const { return FHandle; }
  explicit operator bool() const { return FHandle != nullptr; }

private:
  HANDLE FHandle;
};

// True when the system is Wine rather than Windows.
inline bool UnderWine() {
  const HMODULE Ntdll = GetModuleHandleA("ntdll.dll");
  return Ntdll && GetProcAddress(Ntdll, "wine_get_version");
}

// A socket bound to a free loopback port, listening when Listen is set; the
// port stays taken while the object lives.
class TPort {
public:
  explicit TPort(int Type, bool Listen = false) {
    static const bool Started = [] {
      WSADATA Data;
      return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
    }();
    if (!Started) return;
    FSocket = socket(AF_INET, Type, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int Len = sizeof(A);
    if (bind(FSocket, reinterpret_cast<sockaddr*>(&A), sizeof(A)) == 0 && (!Listen || listen(FSocket, 1) == 0) &&
        getsockname(FSocket, reinterpret_cast<sockaddr*>(&A), &Len) == 0)
      FPort = ntohs(A.sin_port);
  }
  ~TPort() {
    if (FSocket != INVALID_SOCKET) closesocket(FSocket);
  }
  TPort(const TPort&) = delete;
  TPort& operator=(const TPort&) = delete;
  // 0 when the port could not be taken.
  uint16_t Port() const { return FPort; }

private:
  SOCKET FSocket = INVALID_SOCKET;
  uint16_t FPort = 0;
};

// A loopback port that was free a moment ago (bound to 0 and released).
inline uint16_t FreePort(int Type) { return TPort(Type).Port(); }

using TestSupport::HeadlessIni;

struct TRun {
  std::string Output;
  std::optional<DWORD> ExitCode;  // empty: did not end in time (it was then terminated)
  std::vector<std::string> Lines() const { return TestSupport::SplitCrLf(Output); }
};

class TProgram {
public:
  // Creates Dir and puts the program, its libraries and Ini there.
  TProgram(const fs::path& Dir, const std::string& Ini) : FDir(Dir) {
    fs::create_directories(FDir);
    for (const char* Name : {"Brenvic.exe", "LogClient.dll", "srv_TAVEK_TPKT_Transport.dll"})
      fs::copy_file(fs::path(Platform::ExeDir()) / Name, FDir / Name, fs::copy_options::overwrite_existing);
    TestSupport::WriteFile(FDir / "Brenvic.ini", Ini);
  }
  ~TProgram() {
    if (FProcess) {
      TerminateProcess(FProcess.Get(), 1);
      WaitForSingleObject(FProcess.Get(), 5000);
    }
  }
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  const fs::path& Dir() const { return FDir; }
  fs::path Exe() const { return FDir / "Brenvic.exe"; }

  // Starts the program with Args. With a console of its own (CREATE_NEW_CONSOLE) a
  // test can send it console control events; without standard output it looks
  // as it does when the service manager starts it.
  bool Start(const std::string& Args, DWORD Flags = 0, bool WithStdOutput = true) {
    SECURITY_ATTRIBUTES Inherit{sizeof(Inherit), nullptr, TRUE};
    THandle Out;
    if (WithStdOutput) {
      Out.Reset(CreateFileW((FDir / "console.out").wstring().c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, &Inherit, CREATE_ALWAYS, 0, nullptr));
      if (!Out) return false;
    }
    STARTUPINFOW Si{};
    Si.cb = sizeof(Si);
    Si.dwFlags = STARTF_USESTDHANDLES;
    Si.hStdOutput = Out.Get();
    Si.hStdError = Out.Get();
    std::wstring Line = L"\"" + Exe().wstring() + L"\"";
    if (!Args.empty()) Line += L" " + fs::path(Args).wstring();
    PROCESS_INFORMATION Pi{};
    if (!CreateProcessW(nullptr, Line.data(), nullptr, nullptr, TRUE, Flags, nullptr, FDir.wstring().c_str(), &Si,
                        &Pi))
      return false;
    CloseHandle(Pi.hThread);
    FProcess.Reset(Pi.hProcess);
    FPid = Pi.dwProcessId;
    return true;
  }

  DWORD Pid() const { return FPid; }

  // Waits for the started program; its exit code, or empty when it did not end in
  // time (it is then terminated).
  std::optional<DWORD> Wait(std::chrono::milliseconds Limit) {
    if (!FProcess) return std::nullopt;
    std::optional<DWORD> Result;
    if (WaitForSingleObject(FProcess.Get(), static_cast<DWORD>(Limit.count())) == WAIT_OBJECT_0) {
      DWORD Code = 0;
      GetExitCodeProcess(FProcess.Get(), &Code);
      Result = Code;
    } else {
      TerminateProcess(FProcess.Get(), 1);
      WaitForSingleObject(FProcess.Get(), 5000);
    }
    FProcess.Reset();
    return Result;
  }

  std::string Console() const { return TestSupport::ReadFile(FDir / "console.out"); }

  // Runs a command to its end: what it wrote and its exit code.
  TRun Run(const std::string& Args, std::chrono::milliseconds Limit = 30s) {
    TRun R;
    if (!Start(Args)) return R;
    R.ExitCode = Wait(Limit);
    R.Output = Console();
    return R;
  }

  // Every line of the hourly logs (time stamps cut off), oldest file first.
  std::vector<std::string> LogLines() const {
    std::vector<fs::path> Files;
    std::error_code Ec;
    if (fs::exists(FDir / "Logs"))
      for (auto& E : fs::recursive_directory_iterator(FDir / "Logs", Ec))
        if (E.is_regular_file() && E.path().filename().string().find('_') == 2) Files.push_back(E.path());
    std::sort(Files.begin(), Files.end());
    std::vector<std::string> Lines;
    for (auto& F : Files)
      for (auto& L : TestSupport::SplitCrLf(TestSupport::ReadFile(F)))
        Lines.push_back(L.size() >= 13 ? L.substr(13) : L);
    return Lines;
  }

  // How many log lines read exactly Text.
  size_t LogCount(const std::string& Text) const {
    const auto Lines = LogLines();
    return static_cast<size_t>(std::count(Lines.begin(), Lines.end(), Text));
  }

  // Waits until Text has been logged Times times.
  bool WaitForLog(const std::string& Text, std::chrono::milliseconds Limit, size_t Times = 1) const {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    for (;;) {
      if (LogCount(Text) >= Times) return true;
      if (std::chrono::steady_clock::now() > Deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
  }

private:
  fs::path FDir;
  THandle FProcess;
  DWORD FPid = 0;
};

// True when Lines holds Expected as a subsequence, in this order.
inline bool InOrder(const std::vector<std::string>& Lines, const std::vector<std::string>& Expected) {
  size_t At = 0;
  for (const std::string& L : Lines)
    if (At < Expected.size() && L == Expected[At]) ++At;
  return At == Expected.size();
}

}  // namespace WinE2E
