// The server runs in a fresh temporary folder; ALSA finds the headset's PCMs in
// that folder's .asoundrc, so HOME points there before ALSA first reads its
// configuration.
#include <cstdlib>
#include <filesystem>
#include <random>

#include "pulse_control.h"

namespace PulseTest {

const bool PlaybackArrivesWhole = true;
const bool CaptureArrivesWhole = true;
const bool LossIsReported = true;

namespace {
std::string Quoted(const std::string& S) { return "'" + S + "'"; }
}  // namespace

std::string PrepareServerDir() {
  std::random_device Rd;
  const auto Dir = std::filesystem::temp_directory_path() / ("brenvic-pulse-" + std::to_string(Rd()));
  std::filesystem::create_directories(Dir / "home");
  setenv("HOME", (Dir / "home").c_str(), 1);
  return Dir.string();
}

bool Command(const std::string& Dir, const std::string& Name, const std::string& Arg) {
  const std::string Line = "sh " + Quoted(BRENVIC_SOURCE_DIR "/tests/devices/pulse_server.sh") + " " + Name + " " +
                           Quoted(Dir) + " " + Quoted(Arg);
  const bool Ok = std::system(Line.c_str()) == 0;
  if (Name == "stop") {
    std::error_code Ec;
    std::filesystem::remove_all(Dir, Ec);
  }
  return Ok;
}

std::string LocalPath(const std::string& Dir, const std::string& Name) { return Dir + "/" + Name; }

}  // namespace PulseTest
