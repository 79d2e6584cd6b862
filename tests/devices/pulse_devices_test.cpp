// The system's own wave devices (ALSA on Linux, winmm under Wine) against a real
// sound server that the test starts: a PulseAudio with a headset whose
// microphone is fed from a file and whose earphone is recorded to a file, both
// in A-law at 8000 Hz so that the audio passes unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "audio/device_select.h"
#include "devices_test_support.h"
#include "platform/exception.h"
#include "pulse_control.h"

using namespace DevicesTest;
using namespace Platform;
using TClock = std::chrono::steady_clock;

namespace {

const std::string DefaultNames = "Plantronics Blackwire C210|Sennheiser USB headset|Logitech USB Headset|USB VoIP Device";

// Bytes that never repeat within a minute of audio, so that a short piece
// tells where in the stream it comes from.
std::string Noise(size_t Size, uint32_t Seed) {
  std::string S(Size, '\0');
  for (char& C : S) {
    Seed = Seed * 1664525u + 1013904223u;
    C = static_cast<char>(Seed >> 24);
  }
  return S;
}

// Where Piece continues Whole, or npos: the first 160 bytes locate it.
size_t FindRun(const std::string& Whole, const std::string& Piece) {
  const size_t At = Whole.find(Piece.substr(0, 160));
  if (At == std::string::npos || Whole.compare(At, Piece.size(), Piece) != 0) return std::string::npos;
  return At;
}

// The longest piece of Played heard unchanged.
size_t LongestRun(const std::string& Heard, const std::string& Played) {
  size_t Best = 0;
  for (size_t I = 0; I + 16 <= Heard.size();) {
    const size_t K = Played.find(Heard.substr(I, 16));
    if (K == std::string::npos) {
      ++I;
      continue;
    }
    size_t N = 16;
    while (I + N < Heard.size() && K + N < Played.size() && Heard[I + N] == Played[K + N]) ++N;
    Best = std::max(Best, N);
    I += N;
  }
  return Best;
}

bool WaitUntil(const std::function<bool()>& Done, int Ms) {
  const auto Deadline = TClock::now() + std::chrono::milliseconds(Ms);
  while (!Done() && TClock::now() < Deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return Done();
}

class PulseDevices : public TDeviceTest {
protected:
  static void SetUpTestSuite() {
    FServer = PulseTest::PrepareServerDir();
    if (!FServer.empty() && !PulseTest::Command(FServer, "start")) FServer = "!";
  }
  static void TearDownTestSuite() {
    if (!FServer.empty() && FServer != "!") PulseTest::Command(FServer, "stop");
  }
  void SetUp() override {
    TDeviceTest::SetUp();
    if (FServer.empty()) GTEST_SKIP() << "no sound server for this program";
    ASSERT_NE(FServer, "!") << "the sound server did not start";
  }
  std::string Local(const std::string& Name) const { return PulseTest::LocalPath(FServer, Name); }
  std::string Script(const std::string& Name) const { return PulseTest::ScriptPath(FServer, Name); }

  // Plays Data on the player, a take whenever it is ready; false if it stalls.
  static bool PlayAll(TPlayer& P, const std::string& Data, size_t Take) {
    for (size_t At = 0; At < Data.size(); At += Take) {
      if (!WaitUntil([&] { return P.IsReady(); }, 3000)) return false;
      if (P.Play(Data.data() + At, static_cast<int32_t>(std::min(Take, Data.size() - At))) != 0) return false;
    }
    return true;
  }

  static inline std::string FServer;
};

}  // namespace

TEST_F(PulseDevices, TheHeadsetIsListedByItsNamesOnBothSides) {
  int32_t Mic = -1, Ear = -1;
  DoLog = false;  // the lines of the word "USB" that found them are not what is looked at here
  ASSERT_TRUE(FindWaveDeviceByName(TWaveDir::In, DefaultNames, Mic));
  ASSERT_TRUE(FindWaveDeviceByName(TWaveDir::Out, DefaultNames, Ear));
  DoLog = true;
  TWaveCaps Caps;
  ASSERT_EQ(WaveGetDevCaps(TWaveDir::In, static_cast<uint32_t>(Mic), &Caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(Caps.szPname, "USB Headset Microphone");
  ASSERT_EQ(WaveGetDevCaps(TWaveDir::Out, static_cast<uint32_t>(Ear), &Caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(Caps.szPname, "USB Headset Earphone");
  LogWaveDeviceList(TWaveDir::In);
  const auto L = Lines();
  ASSERT_GE(L.size(), 3u);
  EXPECT_EQ(L[0], "Recording devices count: " + std::to_string(WaveGetNumDevs(TWaveDir::In)));
  EXPECT_NE(std::find(L.begin(), L.end(), "  USB Headset Microphone (ID: " + std::to_string(Mic) + ")"), L.end());
  EXPECT_EQ(L.back().rfind("  Default recording device: ", 0), 0u);
}

TEST_F(PulseDevices, TheRecorderHandsOnWhatTheMicrophoneHears) {
  const std::string Feed = Noise(8000 * 60, 7);
  TestSupport::WriteFile(Local("feed.raw"), Feed);
  ASSERT_TRUE(PulseTest::Command(FServer, "feed", Script("feed.raw")));
  StartValues.RecDeviceID = DefaultNames;
  TFakeSession Session;
  TRecorder R(Session);
  ASSERT_EQ(R.SelectDevice(), 0);
  R.Start();
  ASSERT_TRUE(R.Running());
  int32_t Mic = -1;
  DoLog = false;  // no line of the word that finds it: the opening's is the last
  ASSERT_TRUE(FindWaveDeviceByName(TWaveDir::In, DefaultNames, Mic));
  DoLog = true;
  EXPECT_EQ(Lines().back(), OpenedLine(TWaveDir::In, "USB Headset Microphone", Mic));
  ASSERT_TRUE(Session.WaitBlocks(50, 15000));
  const auto Half = TClock::now();
  ASSERT_TRUE(Session.WaitBlocks(100, 15000));
  const auto Took = TClock::now() - Half;
  R.Stop();
  EXPECT_GT(Took, std::chrono::milliseconds(500));  // 50 blocks of 20 ms, give or take the server's bursts
  EXPECT_LT(Took, std::chrono::milliseconds(2500));
  const auto Blocks = Session.Blocks();
  std::string Late;
  for (size_t I = 0; I < Blocks.size(); ++I) {
    EXPECT_EQ(Blocks[I].size(), 160u) << I;
    if (I >= 60 && I < 100) Late += Blocks[I];
  }
  if (PulseTest::CaptureArrivesWhole)
    EXPECT_NE(FindRun(Feed, Late), std::string::npos) << "the captured audio is not the microphone's, unchanged";
  else  // at least half of it in one piece: random bytes match by chance in no more than a few
    EXPECT_GE(LongestRun(Late, Feed), Late.size() / 2) << "the captured audio is not the microphone's, unchanged";
}

TEST_F(PulseDevices, ThePlayerPlaysOnTheEarphone) {
  ASSERT_TRUE(PulseTest::Command(FServer, "record", Script("ear.raw")));
  TFakeSession Session;
  TPlayer P(Session);
  ASSERT_EQ(P.SelectDevice(), 0);
  P.Start();
  ASSERT_TRUE(P.IsReady());
  const std::string Played = Noise(8000 * 2, 11);
  ASSERT_TRUE(PlayAll(P, Played, 800));  // 100 ms takes: a ring of 300 ms, deep enough for any driver
  // The device and the recording catch up: the end of what was played is heard.
  WaitUntil(
      [&] {
        const std::string Heard = TestSupport::ReadFile(Local("ear.raw"));
        return PulseTest::PlaybackArrivesWhole ? FindRun(Heard, Played.substr(8000)) != std::string::npos
                                               : Heard.find(Played.substr(Played.size() - 16)) != std::string::npos;
      },
      5000);
  P.Stop();
  ASSERT_TRUE(PulseTest::Command(FServer, "stop-record"));
  const std::string Heard = TestSupport::ReadFile(Local("ear.raw"));
  if (PulseTest::PlaybackArrivesWhole) {
    // The recording may miss the very beginning; the second half must be there, unchanged.
    EXPECT_NE(FindRun(Heard, Played.substr(8000)), std::string::npos) << "heard " << Heard.size() << " bytes";
  } else {
    EXPECT_GE(LongestRun(Heard, Played), 4000u) << "heard " << Heard.size() << " bytes";
  }
}

TEST_F(PulseDevices, TheMapperOpensTheDefaultDevice) {
  StartValues.PlayDeviceID = "-1";
  TFakeSession Session;
  TPlayer P(Session);
  ASSERT_EQ(P.SelectDevice(), 0);
  P.Start();
  TWaveCaps Caps;
  WaveGetDevCaps(TWaveDir::Out, WAVE_MAPPER, &Caps);
  EXPECT_EQ(Lines().back(), OpenedLine(TWaveDir::Out, Caps.szPname, -1));
  EXPECT_TRUE(PlayAll(P, Noise(1600, 3), 160));
}

TEST_F(PulseDevices, ANumberBeyondTheDevicesFailsToOpen) {
  StartValues.RecDeviceID = "99";
  TFakeSession Session;
  TRecorder R(Session);
  ASSERT_EQ(R.SelectDevice(), 0);
  R.Start();
  EXPECT_FALSE(R.Running());
  const auto L = Lines();
  ASSERT_GE(L.size(), 2u);
  EXPECT_EQ(L[L.size() - 2], "Could not open the input device for recording.");
  EXPECT_EQ(L.back(), WaveErrorText(TWaveDir::In, MMSYSERR_BADDEVICEID, 2001) + "(2)");
}

TEST_F(PulseDevices, AnUnpluggedHeadsetStopsRecorderAndPlayerAndANewPairRunsOnceItIsBack) {
  if (!PulseTest::LossIsReported) GTEST_SKIP() << "this driver does not report a device that has gone";
  TestSupport::WriteFile(Local("feed.raw"), Noise(8000 * 60, 5));
  ASSERT_TRUE(PulseTest::Command(FServer, "feed", Script("feed.raw")));
  TFakeSession Session;
  auto R = std::make_unique<TRecorder>(Session);
  auto P = std::make_unique<TPlayer>(Session);
  ASSERT_EQ(R->SelectDevice(), 0);
  ASSERT_EQ(P->SelectDevice(), 0);
  R->Start();
  P->Start();
  ASSERT_TRUE(R->Running() && P->Running());
  ASSERT_TRUE(Session.WaitBlocks(10, 15000));
  ASSERT_TRUE(PulseTest::Command(FServer, "unplug"));
  const std::string Take(160, 'x');
  // The player learns of the loss when it next writes.
  EXPECT_TRUE(WaitUntil([&] {
    if (P->IsReady()) P->Play(Take.data(), 160);
    return !R->Running() && !P->Running();
  }, 10000));
  // The watchdog's turn: a new pair cannot run without the headset...
  R = std::make_unique<TRecorder>(Session);
  if (R->SelectDevice() == 0) R->Start();
  EXPECT_FALSE(R->Running() && Session.WaitBlocks(Session.Blocks().size() + 5, 1000));
  R.reset();
  P.reset();
  // ...and runs again once it is back.
  ASSERT_TRUE(PulseTest::Command(FServer, "plug"));
  ASSERT_TRUE(PulseTest::Command(FServer, "feed", Script("feed.raw")));
  const size_t Before = Session.Blocks().size();
  R = std::make_unique<TRecorder>(Session);
  ASSERT_EQ(R->SelectDevice(), 0);
  R->Start();
  EXPECT_TRUE(R->Running());
  EXPECT_TRUE(Session.WaitBlocks(Before + 25, 15000));
}
