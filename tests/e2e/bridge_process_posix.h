#pragma once
// The real bridge as a child process in a folder of its own: the executable and
// its libraries are copied there, an INI file is written beside them, and the
// program runs with "run" until it is interrupted.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "test_support.h"

extern char** environ;

namespace E2E {

namespace fs = std::filesystem;

class TBridge {
public:
  // Copies the program and its libraries into a new folder and writes Ini there.
  explicit TBridge(const std::string& Ini) {
    for (const char* Name : {"Brenvic", "LogClient.so", "srv_TAVEK_TPKT_Transport.so"})
      fs::copy_file(fs::path(Platform::ExeDir()) / Name, FDir.Path() / Name);
    TestSupport::WriteFile(FDir.Path() / "Brenvic.ini", Ini);
  }
  ~TBridge() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  TBridge(const TBridge&) = delete;
  TBridge& operator=(const TBridge&) = delete;

  const fs::path& Dir() const { return FDir.Path(); }

  void Start(const std::vector<std::string>& Args = {"run"}) {
    std::vector<std::string> All{(FDir.Path() / "Brenvic").string()};
    All.insert(All.end(), Args.begin(), Args.end());
    std::vector<char*> Argv;
    for (auto& A : All) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    const std::string Out = (FDir.Path() / "console.out").string();
    posix_spawn_file_actions_addopen(&Actions, 1, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
  }

  void Signal(int Sig) { kill(FPid, Sig); }

  // Waits for the process to end; its exit code, or -1 when it did not end in
  // time (it is then killed) or died of a signal.
  int Wait(std::chrono::milliseconds Limit) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    int Status = 0;
    while (std::chrono::steady_clock::now() < Deadline) {
      const pid_t R = waitpid(FPid, &Status, WNOHANG);
      if (R == FPid) {
        FPid = 0;
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = 0;
    return -1;
  }

  std::string Console() const { return TestSupport::ReadFile(FDir.Path() / "console.out"); }

  // Every line of the hourly logs (time stamps cut off), oldest file first.
  std::vector<std::string> LogLines(const std::string& Prefix = "") const {
    std::vector<fs::path> Files;
    if (fs::exists(FDir.Path() / "Logs"))
      for (auto& E : fs::recursive_directory_iterator(FDir.Path() / "Logs")) {
        const std::string Name = E.path().filename().string();
        const bool Side = Name.find('_') != 2;
        if (E.is_regular_file() && (Prefix.empty() ? !Side : Name.rfind(Prefix + "_", 0) == 0))
          Files.push_back(E.path());
      }
    std::sort(Files.begin(), Files.end());
    std::vector<std::string> Lines;
    for (auto& F : Files)
      for (auto& L : TestSupport::SplitCrLf(TestSupport::ReadFile(F))) Lines.push_back(L.size() >= 13 ? L.substr(13) : L);
    return Lines;
  }

  // Waits until a log line containing Text appears.
  bool WaitForLog(const std::string& Text, std::chrono::milliseconds Limit) const {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    do {
      for (const auto& L : LogLines())
        if (L.find(Text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < Deadline);
    return false;
  }

private:
  TestSupport::TTempDir FDir;
  pid_t FPid = 0;
};

}  // namespace E2E
