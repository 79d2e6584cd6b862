// Under Wine the server must exist before the audio driver first connects, and
// the driver reads the server's address from the environment the process
// started with: the test's runner sets PULSE_SERVER to a socket in
// BRENVIC_PULSE_DIR (a Unix path) and lets one such test run at a time. The
// script is a Unix program, started through the start command, which does not
// wait for it: its DIR/COMMAND.done file tells when it has finished.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pulse_control.h"

namespace PulseTest {

const bool PlaybackArrivesWhole = false;
const bool CaptureArrivesWhole = false;
const bool LossIsReported = false;

std::string PrepareServerDir() {
  const char* Dir = std::getenv("BRENVIC_PULSE_DIR");
  const char* Server = std::getenv("PULSE_SERVER");
  if (Dir == nullptr || Server == nullptr || *Dir == '\0') return "";
  std::filesystem::create_directories(LocalPath(Dir, "home"));
  return Dir;
}

bool Command(const std::string& Dir, const std::string& Name, const std::string& Arg) {
  const std::string Done = LocalPath(Dir, Name + ".done");
  std::error_code Ec;
  std::filesystem::remove(Done, Ec);
  const std::string Line = "start /unix /bin/sh " BRENVIC_SOURCE_DIR "/tests/devices/pulse_server.sh " + Name + " " +
                           Dir + " " + (Arg.empty() ? std::string("-") : Arg);
  if (std::system(Line.c_str()) != 0) return false;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < Deadline) {
    std::ifstream In(Done);
    int Status = -1;
    if (In >> Status) return Status == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string LocalPath(const std::string& Dir, const std::string& Name) {
  std::string P = "Z:" + Dir + "/" + Name;
  for (char& C : P)
    if (C == '/') C = '\\';
  return P;
}

}  // namespace PulseTest
