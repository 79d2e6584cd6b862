#include <gtest/gtest.h>

#include "audio/virtual_devices.h"
#include "devices_test_support.h"

using namespace DevicesTest;
using namespace Platform;

class VirtualDevicesSection : public TDeviceTest {};

TEST_F(VirtualDevicesSection, EntriesBecomeDevicesInTheirOrder) {
  const TIniFile Ini = TIniFile::FromText(
      "[Options]\r\nDoLog=1\r\n"
      "[VirtualDevices]\r\n"
      "Capture1=USB Headset Microphone|file=mic.wav\r\n"
      "Capture2= Tone Headset | tone=1000 | level=-12.5 \r\n"
      "Capture3=Loose Headset|vanish=5000|absent=2000|fault=add@3:7|FAULT=Open\r\n"
      "Capture5=never read: the series ends at its first gap\r\n"
      "Playback1=USB Headset Earphone|file=/var/tmp/played.wav|gaps=Silence\r\n"
      "Playback2=\"Busy Headset|fault=write:4|fault=caps@2\"\r\n");
  const auto D = ReadVirtualDevices(Ini, "/base/");
  ASSERT_EQ(D.size(), 5u);
  EXPECT_EQ(D[0].Dir, TWaveDir::In);
  EXPECT_EQ(D[0].Name, "USB Headset Microphone");
  EXPECT_EQ(D[0].FileName, "/base/mic.wav");
  EXPECT_EQ(D[1].Name, "Tone Headset");
  EXPECT_EQ(D[1].ToneHz, 1000);
  EXPECT_EQ(D[1].ToneLevelDb, -12.5);
  EXPECT_EQ(D[2].VanishAfterMs, 5000u);
  EXPECT_EQ(D[2].AbsentMs, 2000u);
  ASSERT_EQ(D[2].Faults.size(), 2u);
  EXPECT_EQ(D[2].Faults[0].Op, TWaveFaultOp::Queue);
  EXPECT_EQ(D[2].Faults[0].Nth, 3u);
  EXPECT_EQ(D[2].Faults[0].Code, 7u);
  EXPECT_EQ(D[2].Faults[1].Op, TWaveFaultOp::Open);
  EXPECT_EQ(D[2].Faults[1].Nth, 0u);
  EXPECT_EQ(D[2].Faults[1].Code, MMSYSERR_ERROR);
  EXPECT_EQ(D[3].Dir, TWaveDir::Out);
  EXPECT_EQ(D[3].FileName, "/var/tmp/played.wav");
  EXPECT_TRUE(D[3].GapsAsSilence);
  EXPECT_FALSE(D[4].GapsAsSilence);
  EXPECT_EQ(D[4].Name, "Busy Headset");
  ASSERT_EQ(D[4].Faults.size(), 2u);
  EXPECT_EQ(D[4].Faults[0].Op, TWaveFaultOp::Queue);
  EXPECT_EQ(D[4].Faults[0].Code, 4u);
  EXPECT_EQ(D[4].Faults[1].Op, TWaveFaultOp::Caps);
  EXPECT_TRUE(Lines().empty());
}

TEST_F(VirtualDevicesSection, MalformedEntriesAreLeftOutWithALine) {
  const TIniFile Ini = TIniFile::FromText(
      "[VirtualDevices]\r\n"
      "Capture1=|file=x.raw\r\n"
      "Capture2=Mic|tone=loud\r\n"
      "Capture3=Mic|fault=write\r\n"
      "Capture4=Mic|colour=blue\r\n"
      "Capture5=Good Mic\r\n"
      "Playback1=Ear|tone=440\r\n"
      "Playback2=Ear|vanish=-5\r\n"
      "Playback3=Ear|gaps=noise\r\n"
      "Capture6=Mic|gaps=silence\r\n");
  const auto D = ReadVirtualDevices(Ini, "");
  ASSERT_EQ(D.size(), 1u);
  EXPECT_EQ(D[0].Name, "Good Mic");
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "Virtual device Capture1 ignored: no name",
                         "Virtual device Capture2 ignored: option \"tone=loud\"",
                         "Virtual device Capture3 ignored: option \"fault=write\"",
                         "Virtual device Capture4 ignored: option \"colour=blue\"",
                         "Virtual device Capture6 ignored: option \"gaps=silence\"",
                         "Virtual device Playback1 ignored: option \"tone=440\"",
                         "Virtual device Playback2 ignored: option \"vanish=-5\"",
                         "Virtual device Playback3 ignored: option \"gaps=noise\"",
                     }));
}

TEST_F(VirtualDevicesSection, LoadedDevicesFollowTheSystemsOwn) {
  TestSupport::TTempDir Dir;
  TestSupport::WriteFile(Dir.Path() / "Brenvic.ini", "[VirtualDevices]\r\nCapture1=Virtual Mic\r\nPlayback1=Virtual Ear\r\n");
  const uint32_t SystemIn = WaveGetNumDevs(TWaveDir::In);
  EXPECT_EQ(LoadVirtualDevices(Dir.Dir() + "Brenvic.ini"), 2);
  EXPECT_EQ(WaveGetNumDevs(TWaveDir::In), SystemIn + 1);
  TWaveCaps Caps;
  ASSERT_EQ(WaveGetDevCaps(TWaveDir::In, SystemIn, &Caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(Caps.szPname, "Virtual Mic");
  EXPECT_EQ(LoadVirtualDevices(Dir.Dir() + "missing.ini"), 0);
  EXPECT_EQ(WaveGetNumDevs(TWaveDir::In), SystemIn);
}

TEST_F(VirtualDevicesSection, SystemDevicesCanBeLeftOut) {
  TestSupport::TTempDir Dir;
  TestSupport::WriteFile(Dir.Path() / "Brenvic.ini",
                         "[VirtualDevices]\r\nSystemDevices=0\r\nCapture1=Virtual Mic\r\nPlayback1=Virtual Ear\r\n");
  EXPECT_EQ(LoadVirtualDevices(Dir.Dir() + "Brenvic.ini"), 2);
  EXPECT_EQ(WaveGetNumDevs(TWaveDir::In), 1u);
  EXPECT_EQ(WaveGetNumDevs(TWaveDir::Out), 1u);
  TWaveCaps Caps;
  ASSERT_EQ(WaveGetDevCaps(TWaveDir::Out, 0, &Caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(Caps.szPname, "Virtual Ear");
  Platform::SetVirtualWaveDevices({});
  Platform::TSystemWaveDevices::SetHidden(false);
}
