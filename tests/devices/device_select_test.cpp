#include <gtest/gtest.h>

#include <climits>

#include "audio/device_select.h"
#include "devices_test_support.h"
#include "platform/exception.h"

using namespace DevicesTest;
using namespace Platform;

namespace {
const std::string DefaultNames = "Plantronics Blackwire C210|Sennheiser USB headset|Logitech USB Headset|USB VoIP Device";
}

TEST(DeviceIdFromText, NumbersAndNames) {
  const struct {
    const char* Text;
    int32_t Id;
  } Cases[] = {
      {"0", 0},      {"1", 1},        {"  7", 7},       {"+3", 3},          {"-1", -1},      {" -1", -1},
      {"$1F", 31},   {"x10", 16},     {"X10", 16},      {"0x10", 16},       {"0XfF", 255},   {"-$10", -16},
      {"2147483647", INT_MAX},        {"-2147483648", INT_MIN},             {"-0x80000000", INT_MIN},
      // Not numbers: a name list (-2).
      {"2147483648", -2}, {"0x80000000", -2}, {"-2", -2}, {"", -2}, {"USB", -2}, {"1 ", -2}, {"1x", -2},
      {"$", -2},          {"0x", -2},         {"--1", -2}, {"\t1", -2}, {"12345678901", -2},
  };
  for (const auto& C : Cases) EXPECT_EQ(DeviceIdFromText(C.Text), C.Id) << '"' << C.Text << '"';
}

TEST(SplitDeviceNames, Entries) {
  using V = std::vector<std::string>;
  const struct {
    std::string Value;
    V Entries;
  } Cases[] = {
      {"A B|C", {"A", "B", "C"}},
      {"A||B", {"A", "", "B"}},
      {"A|", {"A", ""}},
      {"|A", {"", "A"}},
      {"  A \t", {"A"}},
      {"A | B", {"A", "B"}},
      {"", {}},
      {"\"Logitech USB Headset\"|USB", {"Logitech USB Headset", "USB"}},
      {"\"say \"\"hi\"\"\" x", {"say \"hi\"", "x"}},
      {"\"A B\"C", {"A B", "C"}},
      {"\"\"|B", {"", "B"}},
      // A quote left open runs to the end of the text.
      {"USB \"Logitech USB", {"USB", "Logitech USB"}},
      {DefaultNames,
       {"Plantronics", "Blackwire", "C210", "Sennheiser", "USB", "headset", "Logitech", "USB", "Headset", "USB", "VoIP",
        "Device"}},
  };
  for (const auto& C : Cases) EXPECT_EQ(SplitDeviceNames(C.Value), C.Entries) << C.Value;
}

TEST(FindWaveDeviceByName, ListOrderOutranksDeviceOrder) {
  const std::string Long = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";  // the product name keeps 31 of these
  const TWaveFault BrokenCaps{TWaveFaultOp::Caps, 0, MMSYSERR_NODRIVER};
  const struct {
    std::vector<TVirtualWaveDevice> Devices;
    std::string Value;
    int32_t Id;  // -1: no match
  } Cases[] = {
      {{Mic("Line In"), Mic("USB Audio CODEC")}, DefaultNames, 1},
      {{Mic("Logitech USB Headset"), Mic("Plantronics Blackwire C210")}, DefaultNames, 1},
      // Whole names first: the word "USB" of a listed headset does not pick a webcam.
      {{Mic("USB Webcam Mic"), Mic("Logitech USB Headset")}, DefaultNames, 1},
      {{Mic("USB Webcam Mic"), Mic("Logitech USB Headset")}, " \"Logitech USB Headset\" |USB", 1},
      {{Mic("USB Webcam Mic"), Mic("Logitech USB Headset")}, "Jabra Evolve|USB", 0},
      {{Mic("Headset Earphone")}, "headset", -1},
      {{Mic("Headset Earphone")}, "headset Headset", 0},
      {{Mic("Logitech USB"), Mic("Logitech USB Headset")}, "\"Logitech USB Headset\"", 1},
      {{Mic("Logitech USB")}, "\"Logitech USB Headset\"", -1},
      {{Mic("Other"), Mic("-2 Device")}, "-2", 1},
      {{Mic("USB")}, "\"USB Headset\"", -1},  // an entry longer than the name
      {{Mic("USB Broken", {BrokenCaps}), Mic("USB Good")}, "USB", 1},
      {{Mic("Line In"), Mic("USB Audio CODEC")}, "", -1},
      {{Mic("Line In")}, "||  |", -1},
      {{Ear("USB Ear"), Mic("Line In")}, "USB", -1},  // a playback device is no capture device
      {{Mic(Long)}, Long.substr(0, 31), 0},
      {{Mic(Long)}, Long.substr(0, 32), -1},
  };
  for (const auto& C : Cases) {
    TVirtualDevices Installed(C.Devices);
    int32_t Id = 77;
    EXPECT_EQ(FindWaveDeviceByName(TWaveDir::In, C.Value, Id), C.Id >= 0) << C.Value;
    EXPECT_EQ(Id, C.Id >= 0 ? C.Id : 77) << C.Value;
  }
}

TEST(WaveOpenFlags, MappedUnlessTheMapper) {
  EXPECT_EQ(WaveOpenFlags(-1), CALLBACK_FUNCTION);
  for (int32_t Id : {0, 1, 5, -2}) EXPECT_EQ(WaveOpenFlags(Id), CALLBACK_FUNCTION | WAVE_MAPPED);
}

class SelectDevice : public TDeviceTest {};

TEST_F(SelectDevice, WithoutDevicesBothSidesSayNoneWhateverDoLogSays) {
  TVirtualDevices Installed({});
  DoLog = false;
  TFakeSession Session;
  TRecorder Recorder(Session);
  TPlayer Player(Session);
  EXPECT_EQ(Recorder.SelectDevice(), -1);
  EXPECT_EQ(Player.SelectDevice(), -1);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"No wave audio recording devices found.",
                                                "No wave audio playing devices found."}));
}

TEST_F(SelectDevice, ListsTheDevicesAndReportsTheChoice) {
  TVirtualDevices Installed({Mic("Line In"), Mic("USB Audio CODEC"), Ear("Headset Earphone")});
  TFakeSession Session;
  TRecorder Recorder(Session);
  TPlayer Player(Session);
  StartValues.RecDeviceID = DefaultNames;
  StartValues.PlayDeviceID = "Plantronics Blackwire C210|Headset";
  EXPECT_EQ(Recorder.SelectDevice(), 0);
  EXPECT_EQ(Player.SelectDevice(), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "Recording devices count: 2",
                         "  Line In (ID: 0)",
                         "  USB Audio CODEC (ID: 1)",
                         "  Default recording device: Line In (ID: 0)",
                         "No whole name of the list matched; the word \"USB\" chose record device \"USB Audio CODEC\" (ID: 1)",
                         "Use device \"USB Audio CODEC\" for recording",
                         "Playback devices count: 1",
                         "  Headset Earphone (ID: 0)",
                         "  Default playback device: Headset Earphone (ID: 0)",
                         "Use device \"Headset Earphone\" for playing",
                     }));
}

TEST_F(SelectDevice, NoMatchGivesMinusFiveWithItsLineOnlyWithDoLog) {
  TVirtualDevices Installed({Mic("Line In"), Ear("Line Out")});
  TFakeSession Session;
  StartValues.RecDeviceID = "USB \"Logitech";
  StartValues.PlayDeviceID = "";
  {
    TRecorder Recorder(Session);
    TPlayer Player(Session);
    EXPECT_EQ(Recorder.SelectDevice(), -5);
    EXPECT_EQ(Player.SelectDevice(), -5);
  }
  const auto Logged = Lines();
  ASSERT_EQ(Logged.size(), 8u);
  EXPECT_EQ(Logged[3], "Could not find record device by name \"USB \"Logitech\"");
  EXPECT_EQ(Logged[7], "Could not find playing device by name \"\"");
  DoLog = false;
  TRecorder Quiet(Session);
  EXPECT_EQ(Quiet.SelectDevice(), -5);
  EXPECT_EQ(Lines().size(), 8u);
}

TEST_F(SelectDevice, NumbersAreTakenAsTheyStandAndUnreadableDevicesListedAsUnknown) {
  TVirtualDevices Installed({Mic("Flaky Mic", {{TWaveFaultOp::Caps, 0, MMSYSERR_NODRIVER}})});
  TFakeSession Session;
  StartValues.RecDeviceID = "$1";  // beyond the one device: found wanting only when opened
  TRecorder Recorder(Session);
  EXPECT_EQ(Recorder.SelectDevice(), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Recording devices count: 1", "  <unknown device> (ID: 0)",
                                                "  Default recording device: <unknown device> (ID: 0)",
                                                "Use device \"\" for recording"}));
  // Device 1 itself is only tried by the opening.
  Recorder.Start();
  EXPECT_FALSE(Recorder.Running());
  EXPECT_EQ(Lines().back(), Format("%s(2)", WaveErrorText(TWaveDir::In, MMSYSERR_BADDEVICEID, 2001).c_str()));
}
