#include <gtest/gtest.h>

#include <chrono>

#include "audio/device_select.h"
#include "devices_test_support.h"
#include "platform/exception.h"
#include "test_support.h"

using namespace DevicesTest;
using namespace Platform;
using TClock = std::chrono::steady_clock;

namespace {

class Recorder : public TDeviceTest {
protected:
  // The lines that follow the selection's own (listing and choice).
  std::vector<std::string> LinesAfterSelection() {
    auto L = Lines();
    L.erase(L.begin(), L.begin() + static_cast<ptrdiff_t>(FSelectionLines));
    return L;
  }
  void Select(TRecorder& R, int32_t Expected = 0) {
    ASSERT_EQ(R.SelectDevice(), Expected);
    FSelectionLines = Lines().size();
  }
  static std::string OpenedLine(const std::string& Name, int32_t Id = 0) {
    return TDeviceTest::OpenedLine(TWaveDir::In, Name, Id);
  }
  size_t FSelectionLines = 0;
};

}  // namespace

TEST_F(Recorder, HandsOnePacketEveryTwentyMillisecondsInOrder) {
  TVirtualWaveDevice D = Mic("USB Headset");
  std::string P;
  for (int I = 0; I < 1000; ++I) P += static_cast<char>((I * 7 + I / 256) & 0xFF);
  TestSupport::TTempDir Dir;
  TestSupport::WriteFile(Dir.Path() / "mic.raw", P);
  D.FileName = (Dir.Path() / "mic.raw").string();
  TVirtualDevices Installed({Mic("Line In"), D});
  TFakeSession Session;
  TRecorder R(Session);
  Select(R);
  const auto Started = TClock::now();
  R.Start();
  ASSERT_TRUE(R.Running());
  EXPECT_EQ(LinesAfterSelection(), std::vector<std::string>{OpenedLine("USB Headset", 1)});
  ASSERT_TRUE(Session.WaitBlocks(50, 10000));
  const auto Took = TClock::now() - Started;
  // 50 blocks of 20 ms: never faster than the clock, and not much slower.
  EXPECT_GE(Took, std::chrono::milliseconds(980));
  EXPECT_LT(Took, std::chrono::milliseconds(2000));
  R.Stop();
  EXPECT_FALSE(R.Running());
  const auto Blocks = Session.Blocks();
  std::string All;
  for (const auto& B : Blocks) {
    EXPECT_EQ(B.size(), 160u);
    All += B;
  }
  std::string Expected;
  while (Expected.size() < All.size()) Expected += P;
  EXPECT_EQ(All, Expected.substr(0, All.size()));
  // Nothing comes after the stop, and nothing was logged by it.
  EXPECT_FALSE(TestSupport::WaitUntil([&] { return Session.Blocks().size() != Blocks.size(); }, 100));
  EXPECT_EQ(LinesAfterSelection().size(), 1u);
}

TEST_F(Recorder, EachFailingStepOfTheOpeningHasItsLinesAndLeavesTheDeviceClosed) {
  const auto Fault = [](TWaveFaultOp Op, uint32_t Nth) { return TWaveFault{Op, Nth, MMSYSERR_ERROR}; };
  const struct {
    std::vector<TWaveFault> Faults;
    std::vector<std::string> Lines;  // after the "Opened" line
  } Cases[] = {
      {{Fault(TWaveFaultOp::Prepare, 3)}, {"Error preparing header for recording"}},
      {{Fault(TWaveFaultOp::Queue, 1)}, {"Error adding buffer: 1", "Error adding first buffer to recorder"}},
      // The first buffer is with the device: it comes back before the close,
      // so that neither unpreparing nor closing fails.
      {{Fault(TWaveFaultOp::Start, 1)}, {"Error starting wave record"}},
      {{Fault(TWaveFaultOp::Queue, 3)}, {"Error adding buffer: 1", "Error adding buffer number 2 to recorder"}},
      {{Fault(TWaveFaultOp::Queue, 5)}, {"Error adding buffer: 1", "Error adding buffer number 4 to recorder"}},
  };
  for (const auto& C : Cases) {
    TVirtualDevices Installed({Mic("USB Headset", C.Faults)});
    TFakeSession Session;
    Session.SendBytes = 8000;  // a second per buffer: no buffer comes back while Open runs
    auto R = std::make_unique<TRecorder>(Session);
    Select(*R);
    R->Start();
    EXPECT_FALSE(R->Running());
    // No unprepare or close failure follows: the device was closed cleanly.
    std::vector<std::string> Expected{OpenedLine("USB Headset")};
    Expected.insert(Expected.end(), C.Lines.begin(), C.Lines.end());
    R.reset();
    EXPECT_EQ(LinesAfterSelection(), Expected);
  }
}

TEST_F(Recorder, OpenFailuresAreReportedWhateverDoLogSays) {
  TVirtualDevices Installed({Mic("USB Headset", {{TWaveFaultOp::Open, 0, MMSYSERR_ALLOCATED}})});
  DoLog = false;
  TFakeSession Session;
  for (const char* Value : {"USB", "1"}) {  // the device refuses; a device that does not exist
    StartValues.RecDeviceID = Value;
    TRecorder R(Session);
    Select(R);
    R.Start();
    EXPECT_FALSE(R.Running());
    const MMRESULT Code = std::string(Value) == "1" ? MMSYSERR_BADDEVICEID : MMSYSERR_ALLOCATED;
    EXPECT_EQ(LinesAfterSelection(),
              (std::vector<std::string>{"Could not open the input device for recording.",
                                        Format("%s(%u)", WaveErrorText(TWaveDir::In, Code, 2001).c_str(), Code)}));
  }
  // Destroying a recorder that never opened calls nothing and logs nothing.
  EXPECT_EQ(Lines().size(), 4u);
}

TEST_F(Recorder, FailuresWhileStoppingAreLoggedAndTheDeviceStillCloses) {
  const struct {
    TWaveFault Fault;
    std::vector<std::string> Lines;
  } Cases[] = {
      {{TWaveFaultOp::Reset, 0, MMSYSERR_ERROR}, {"Error in ResetRecord"}},
      {{TWaveFaultOp::Unprepare, 2, MMSYSERR_ERROR}, {"Error in waveInUnprepareHeader ()"}},
      {{TWaveFaultOp::Close, 0, MMSYSERR_ERROR}, {"Error closing input device."}},
  };
  for (const auto& C : Cases) {
    TVirtualDevices Installed({Mic("USB Headset", {C.Fault})});
    TFakeSession Session;
    TRecorder R(Session);
    Select(R);
    R.Start();
    ASSERT_TRUE(R.Running());
    ASSERT_TRUE(Session.WaitBlocks(2, 5000));
    R.Stop();
    auto After = LinesAfterSelection();
    After.erase(After.begin());  // "Opened ..."
    EXPECT_EQ(After, C.Lines);
  }
}

TEST_F(Recorder, ADeviceThatVanishesStopsTheRecorderWhichThenCleansUp) {
  TVirtualWaveDevice D = Mic("USB Headset");
  D.VanishAfterMs = 150;
  TVirtualDevices Installed({D});
  TFakeSession Session;
  TRecorder R(Session);
  Select(R);
  R.Start();
  ASSERT_TRUE(R.Running());
  // The recorder stops as the queueing fails, and writes the failure just after.
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return !R.Running() && LinesAfterSelection().size() >= 2; }));
  // Buffers given back by the lost device are handed on; queueing them again fails.
  EXPECT_GE(Session.Blocks().size(), 5u);
  const auto After = LinesAfterSelection();
  ASSERT_GE(After.size(), 2u);
  EXPECT_EQ(After[1], "Error adding buffer: 6");
}

TEST_F(Recorder, PayloadsThatDoNotFitABufferAreRefused) {
  TVirtualDevices Installed({Mic("USB Headset")});
  for (int32_t Bytes : {32769, 0}) {
    TFakeSession Session;
    Session.SendBytes = Bytes;
    TRecorder R(Session);
    Select(R);
    R.Start();
    EXPECT_FALSE(R.Running());
    EXPECT_EQ(LinesAfterSelection(),
              std::vector<std::string>{Format("Send payload of %d bytes does not fit a capture buffer of 32768 bytes; "
                                              "recorder not opened",
                                              Bytes)});
  }
  TFakeSession Session;
  Session.SendBytes = 32768;  // the largest that fits
  TRecorder R(Session);
  Select(R);
  R.Start();
  EXPECT_TRUE(R.Running());
}
