#pragma once
// Helpers of the device tests: a stand-in session, virtual devices installed
// for the life of a test, the settings the devices read.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "audio/player.h"
#include "audio/recorder.h"
#include "config/start_values.h"
#include "devices/wave_devices_test_peer.h"
#include "log_capture.h"
#include "platform/wave_virtual.h"

namespace DevicesTest {

inline const Platform::TWaveFormat ALaw{Platform::WaveFormatALaw, 1, 8000, 8000, 1, 8, 0};

// The session the recorder and the player see: fixed sizes, and every block the
// recorder hands over kept in order.
class TFakeSession : public TRecorderSession, public TPlayerSession {
public:
  const Platform::TWaveFormat& AudioFormat() const override { return Format; }
  int32_t SendPayloadBytes() const override { return SendBytes; }
  int32_t ReceivePayloadBytes() const override { return ReceiveBytes; }
  int32_t ReceiveBufCount() const override { return BufCount; }
  // The device lists as the host would hand them down: the process's settings.
  const std::string& RecDeviceID() const override { return StartValues.RecDeviceID; }
  const std::string& PlayDeviceID() const override { return StartValues.PlayDeviceID; }
  void AddRecordedData(const Platform::WAVEHDR& Header) override {
    std::lock_guard L(FLock);
    FBlocks.emplace_back(Header.lpData, static_cast<uint16_t>(Header.dwBytesRecorded));
    FChanged.notify_all();
  }

  // Waits until Count blocks have come (false after TimeoutMs).
  bool WaitBlocks(size_t Count, int TimeoutMs) {
    std::unique_lock L(FLock);
    return FChanged.wait_for(L, std::chrono::milliseconds(TimeoutMs), [&] { return FBlocks.size() >= Count; });
  }
  std::vector<std::string> Blocks() {
    std::lock_guard L(FLock);
    return FBlocks;
  }

  Platform::TWaveFormat Format = ALaw;
  int32_t SendBytes = 160;
  int32_t ReceiveBytes = 160;
  int32_t BufCount = 3;

private:
  std::mutex FLock;
  std::condition_variable FChanged;  // waits on FLock
  std::vector<std::string> FBlocks;  // guarded by FLock
};

inline Platform::TVirtualWaveDevice Device(Platform::TWaveDir Dir, std::string Name,
                                           std::vector<Platform::TWaveFault> Faults = {}) {
  Platform::TVirtualWaveDevice D;
  D.Dir = Dir;
  D.Name = std::move(Name);
  D.Faults = std::move(Faults);
  return D;
}
inline Platform::TVirtualWaveDevice Mic(std::string Name, std::vector<Platform::TWaveFault> Faults = {}) {
  return Device(Platform::TWaveDir::In, std::move(Name), std::move(Faults));
}
inline Platform::TVirtualWaveDevice Ear(std::string Name, std::vector<Platform::TWaveFault> Faults = {}) {
  return Device(Platform::TWaveDir::Out, std::move(Name), std::move(Faults));
}

// The given virtual devices alone (the system's hidden) while the object lives.
class TVirtualDevices {
public:
  explicit TVirtualDevices(std::vector<Platform::TVirtualWaveDevice> Devices) {
    Platform::TWaveDevicesTestPeer::HideSystem(true);
    Platform::SetVirtualWaveDevices(std::move(Devices));
  }
  ~TVirtualDevices() {
    Platform::SetVirtualWaveDevices({});
    Platform::TWaveDevicesTestPeer::HideSystem(false);
  }
  TVirtualDevices(const TVirtualDevices&) = delete;
  TVirtualDevices& operator=(const TVirtualDevices&) = delete;
};

// Settings back to their defaults around each test, DoLog on, devices
// chosen by the name prefix "USB".
class TDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    ResetStartValues();
    DoLog = true;
    StartValues.RecDeviceID = "USB";
    StartValues.PlayDeviceID = "USB";
  }
  void TearDown() override { ResetStartValues(); }

  // The log's lines; the device handle in an "Opened ..." line, a number that
  // changes from run to run, reads "[handle]" unless it is 0.
  std::vector<std::string> Lines() const {
    static const std::regex Opened("(Opened (recording|playback) device: .*\\(-?[0-9]+\\)) \\[(-?[0-9]+)\\]");
    auto L = FLog.Lines();
    for (std::string& Line : L) {
      std::smatch M;
      if (std::regex_match(Line, M, Opened) && M[3] != "0") Line = M[1].str() + " [handle]";
    }
    return L;
  }
  static std::string OpenedLine(Platform::TWaveDir Dir, const std::string& Name, int32_t Id) {
    return std::string(Dir == Platform::TWaveDir::In ? "Opened recording device: " : "Opened playback device: ") +
           Name + "(" + std::to_string(Id) + ") [handle]";
  }

  TestSupport::TLogCapture FLog;
};

}  // namespace DevicesTest

// What only the tests look at inside a player.
class TPlayerTestPeer {
public:
  static int32_t NextIndex(const TPlayer& P) { return P.FNextIndex; }
};
