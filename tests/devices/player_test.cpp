#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/device_select.h"
#include "devices_test_support.h"
#include "platform/exception.h"

using namespace DevicesTest;
using namespace Platform;
using TClock = std::chrono::steady_clock;

namespace {

class Player : public TDeviceTest {
protected:
  std::vector<std::string> LinesAfterSelection() {
    auto L = Lines();
    L.erase(L.begin(), L.begin() + static_cast<ptrdiff_t>(FSelectionLines));
    return L;
  }
  void Select(TPlayer& P, int32_t Expected = 0) {
    ASSERT_EQ(P.SelectDevice(), Expected);
    FSelectionLines = Lines().size();
  }
  static std::string OpenedLine(const std::string& Name, int32_t Id = 0) {
    return TDeviceTest::OpenedLine(TWaveDir::Out, Name, Id);
  }
  static bool WaitReady(const TPlayer& P, int Ms = 5000) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(Ms);
    while (!P.IsReady() && TClock::now() < Deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return P.IsReady();
  }
  static std::string Overflow(int Size, int Seq) {
    return Format("Player overflow detected - Drop network packet [size=%d, seq=%d]", Size, Seq);
  }
  size_t FSelectionLines = 0;
  TestSupport::TTempDir FDir;
};

}  // namespace

TEST_F(Player, TheRingTurnsAndTheDevicePlaysEveryTakeInOrder) {
  TVirtualWaveDevice Ear = DevicesTest::Ear("USB Headset");
  Ear.FileName = (FDir.Path() / "ear.raw").string();
  TVirtualDevices Installed({DevicesTest::Ear("Line Out"), Ear});
  TFakeSession Session;
  TPlayer P(Session);
  StartValues.PlayDeviceID = "USB";
  Select(P);
  EXPECT_FALSE(P.IsReady());
  EXPECT_EQ(P.Play("x", 1), -1);  // not started: nothing happens
  P.Start();
  ASSERT_TRUE(P.Running());
  std::string Played;
  std::vector<int32_t> Indexes;
  for (int I = 0; I < 10; ++I) {
    ASSERT_TRUE(WaitReady(P));
    const std::string Take(160, static_cast<char>('a' + I));
    Indexes.push_back(TPlayerTestPeer::NextIndex(P));
    ASSERT_EQ(P.Play(Take.data(), 160), 0);
    Played += Take;
  }
  EXPECT_EQ(Indexes, (std::vector<int32_t>{0, 1, 2, 0, 1, 2, 0, 1, 2, 0}));
  ASSERT_TRUE(WaitReady(P));
  P.Stop();
  EXPECT_FALSE(P.Running());
  EXPECT_FALSE(P.IsReady());
  EXPECT_EQ(TestSupport::ReadFile(FDir.Path() / "ear.raw").substr(0, Played.size() - 320), Played.substr(0, Played.size() - 320));
  EXPECT_EQ(LinesAfterSelection(), std::vector<std::string>{OpenedLine("USB Headset", 1)});
}

TEST_F(Player, ABusyRingDropsUntilItsLimitThenStops) {
  TVirtualDevices Installed({DevicesTest::Ear("USB Headset")});
  TFakeSession Session;
  TPlayer P(Session);
  Select(P);
  P.Start();
  const std::string Second(8000, 'x');  // a second of audio per buffer: the ring stays busy
  for (int I = 0; I < 3; ++I) ASSERT_EQ(P.Play(Second.data(), 8000), 0);
  EXPECT_FALSE(P.IsReady());
  for (int I = 0; I < 3; ++I) EXPECT_EQ(P.Play("abc", 3), -1);
  EXPECT_FALSE(P.Running());
  EXPECT_EQ(P.Play("abc", 3), -1);  // stalled: nothing more is logged
  auto After = LinesAfterSelection();
  After.erase(After.begin());
  EXPECT_EQ(After, (std::vector<std::string>{Overflow(3, 1), Overflow(3, 2), Overflow(3, 3),
                                             "Player stopped - Data do not processing"}));
}

TEST_F(Player, AWriteAfterDropsStartsTheCountAgain) {
  TVirtualDevices Installed({DevicesTest::Ear("USB Headset")});
  TFakeSession Session;
  TPlayer P(Session);
  Select(P);
  P.Start();
  const std::string Short(1600, 's'), Long(16000, 'l');  // 200 ms, then two seconds each
  ASSERT_EQ(P.Play(Short.data(), 1600), 0);
  ASSERT_EQ(P.Play(Long.data(), 16000), 0);
  ASSERT_EQ(P.Play(Long.data(), 16000), 0);
  EXPECT_EQ(P.Play("ab", 2), -1);
  EXPECT_EQ(P.Play("ab", 2), -1);
  ASSERT_TRUE(WaitReady(P));
  EXPECT_EQ(P.Play("ab", 2), 0);
  EXPECT_EQ(P.Play("ab", 2), -1);
  EXPECT_TRUE(P.Running());
  auto After = LinesAfterSelection();
  After.erase(After.begin());
  EXPECT_EQ(After, (std::vector<std::string>{Overflow(2, 1), Overflow(2, 2), Overflow(2, 1)}));
}

TEST_F(Player, AFailedWriteStallsThePlayer) {
  TVirtualDevices Installed({DevicesTest::Ear("USB Headset", {{TWaveFaultOp::Queue, 2, MMSYSERR_NOMEM}})});
  TFakeSession Session;
  TPlayer P(Session);
  Select(P);
  P.Start();
  ASSERT_TRUE(P.Running());
  ASSERT_EQ(P.Play("ab", 2), 0);
  ASSERT_TRUE(P.IsReady());
  const int32_t Index = TPlayerTestPeer::NextIndex(P);
  EXPECT_EQ(P.Play("ab", 2), -1);
  EXPECT_FALSE(P.Running());
  EXPECT_EQ(TPlayerTestPeer::NextIndex(P), Index);
  EXPECT_FALSE(P.IsReady());
  EXPECT_EQ(LinesAfterSelection(),
            (std::vector<std::string>{OpenedLine("USB Headset"),
                                      "Error play buffer: " + std::to_string(MMSYSERR_NOMEM) + " \"" +
                                          WaveErrorText(TWaveDir::Out, MMSYSERR_NOMEM, 2048) + "\""}));
}

TEST_F(Player, AFailedOpeningLeavesItNotRunningSoThatTheWatchdogTriesAgain) {
  const struct {
    TWaveFault Fault;
    std::vector<std::string> Lines;
  } Cases[] = {
      {{TWaveFaultOp::Open, 0, MMSYSERR_ALLOCATED},
       {"Could not open the output device for playback.",
        Format("%s(4)", WaveErrorText(TWaveDir::Out, MMSYSERR_ALLOCATED, 2001).c_str())}},
      // Opened, then closed again when a header failed to prepare.
      {{TWaveFaultOp::Prepare, 2, MMSYSERR_ERROR}, {"Error preparing header for playback."}},
  };
  DoLog = false;
  for (const auto& C : Cases) {
    TVirtualDevices Installed({DevicesTest::Ear("USB Headset", {C.Fault})});
    TFakeSession Session;
    TPlayer P(Session);
    Select(P);
    P.Start();
    EXPECT_FALSE(P.Running());
    EXPECT_FALSE(P.IsReady());
    EXPECT_EQ(P.Play("ab", 2), -1);
    P.Stop();
    EXPECT_EQ(LinesAfterSelection(), C.Lines);
  }
}

TEST_F(Player, SettingsThatWouldOverrunTheRingGiveNoRingAndNoDevice) {
  TVirtualDevices Installed({DevicesTest::Ear("USB Headset")});
  const struct {
    int32_t Count, Payload, Result;
    std::string Line;
  } Cases[] = {
      {0, 160, -3, "ReceiveBufCount 0 is outside 1 to 1024; the player has no buffers"},
      {1025, 16, -3, "ReceiveBufCount 1025 is outside 1 to 1024; the player has no buffers"},
      {3, 16384, -4, "A receive take of 49152 bytes (3 x 16384) does not fit a playback buffer of 32768 bytes; "
                     "the player has no buffers"},
  };
  for (const auto& C : Cases) {
    TFakeSession Session;
    Session.BufCount = C.Count;
    Session.ReceiveBytes = C.Payload;
    TPlayer P(Session);
    EXPECT_EQ(P.SelectDevice(), C.Result);
    FSelectionLines = Lines().size();
    P.Start();
    EXPECT_FALSE(P.Running());
    EXPECT_FALSE(P.IsReady());
    EXPECT_EQ(P.Play("ab", 2), -1);
    EXPECT_EQ(Lines().back(), C.Line);
  }
  // The largest ring and take that fit.
  TFakeSession Session;
  Session.BufCount = 1024;
  Session.ReceiveBytes = 32;
  TPlayer P(Session);
  Select(P);
  P.Start();
  EXPECT_TRUE(P.IsReady());
}

TEST_F(Player, MapperStopAndCloseLines) {
  TVirtualDevices Installed({DevicesTest::Ear("USB Headset", {{TWaveFaultOp::Unprepare, 3, MMSYSERR_ERROR},
                                                                {TWaveFaultOp::Close, 0, MMSYSERR_ERROR}})});
  TFakeSession Session;
  StartValues.PlayDeviceID = "-1";
  TPlayer P(Session);
  Select(P);
  P.Start();
  EXPECT_EQ(P.Play("ab", 2), 0);
  EXPECT_EQ(P.Play(nullptr, 40000), -1);
  P.Stop();
  EXPECT_EQ(LinesAfterSelection(),
            (std::vector<std::string>{OpenedLine(VirtualMapperName, -1),
                                      "Play Error: 40000 bytes do not fit a playback buffer of 32768 bytes",
                                      "Error in waveOutUnprepareHeader ()", "Error closing oputput device."}));
}

TEST_F(Player, ADeviceThatVanishesStopsThePlayer) {
  TVirtualWaveDevice Ear = DevicesTest::Ear("USB Headset");
  Ear.VanishAfterMs = 100;
  TVirtualDevices Installed({Ear});
  TFakeSession Session;
  TPlayer P(Session);
  Select(P);
  P.Start();
  const std::string Second(8000, 'x');
  ASSERT_EQ(P.Play(Second.data(), 8000), 0);
  const auto Deadline = TClock::now() + std::chrono::seconds(5);
  while (P.Running() && TClock::now() < Deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(P.Running());
  EXPECT_EQ(LinesAfterSelection().size(), 1u);
}
