#pragma once
// Helpers of the device tests: a stand-in session, virtual devices installed
// for the life of a test, the settings the devices read.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "audio/player.h"
#include "audio/recorder.h"
#include "config/start_values.h"
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
    Platform::HideSystemWaveDevices(true);
    Platform::SetVirtualWaveDevices(std::move(Devices));
  }
  ~TVirtualDevices() {
    Platform::SetVirtualWaveDevices({});
    Platform::HideSystemWaveDevices(false);
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
    RecDeviceID = "USB";
    PlayDeviceID = "USB";
  }
  void TearDown() override { ResetStartValues(); }

  std::vector<std::string> Lines() const { return FLog.Lines(); }

  TestSupport::TLogCapture FLog;
};

}  // namespace DevicesTest
