#include "config/receive_settings.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/ini_file.h"
#include "config/start_values.h"
#include "test_support.h"

namespace {

struct TCase {
  const char* Text;
  TReceiveMode Mode;
  uint32_t Min, Max;
  std::vector<std::string> Problems;
};

TEST(ReceiveSettings, SectionByScenario) {
  const std::vector<TCase> Cases = {
      {"[Options]\r\nLocalPort=1\r\n", TReceiveMode::Fixed, 20, 200, {}},
      {"[Receive]\r\nMode=adaptive\r\n", TReceiveMode::Adaptive, 20, 200, {}},
      {"[receive]\r\nmode = ADAPTIVE\r\nMinDelayMs=0x28\r\nMaxDelayMs=300\r\n", TReceiveMode::Adaptive, 40, 300, {}},
      {"[Receive]\r\nMode=fixed\r\nMinDelayMs=60\r\n", TReceiveMode::Fixed, 60, 200, {}},
      {"[Receive]\r\nMinDelayMs=250\r\n", TReceiveMode::Fixed, 250, 250, {}},  // the upper bound follows
      {"[Receive]\r\nMode=adaptiv\r\n", TReceiveMode::Fixed, 20, 200,
       {"[Receive] Mode=adaptiv is neither fixed nor adaptive; fixed is used"}},
      {"[Receive]\r\nMode=adaptive\r\nMinDelayMs=-5\r\nMaxDelayMs=5000\r\n", TReceiveMode::Adaptive, 0, 2000,
       {"[Receive] MinDelayMs=-5 is outside 0..1000; 0 is used", "[Receive] MaxDelayMs=5000 is outside 0..2000; 2000 is used"}},
      {"[Receive]\r\nMinDelayMs=100\r\nMaxDelayMs=50\r\n", TReceiveMode::Fixed, 100, 100,
       {"[Receive] MaxDelayMs=50 is outside 100..2000; 100 is used"}},
      {"[Receive]\r\nMinDelayMs=yes\r\n", TReceiveMode::Fixed, 20, 200, {}},  // not a number: the default
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Text);
    const TReceiveSettings R = ReadReceiveSettings(TIniFile::FromText(C.Text));
    EXPECT_EQ(R.Mode, C.Mode);
    EXPECT_EQ(R.MinDelayMs, C.Min);
    EXPECT_EQ(R.MaxDelayMs, C.Max);
    EXPECT_EQ(R.Problems, C.Problems);
  }
}

TEST(ReceiveSettings, LoadedWithTheOtherSettingsAndResetWithThem) {
  TestSupport::TTempDir Dir;
  const auto Ini = Dir.Path() / "Brenvic.ini";
  TestSupport::WriteFile(Ini, "[Options]\r\nDoLog=0\r\n[Receive]\r\nMode=adaptive\r\nMaxDelayMs=120\r\n");
  LoadStartValuesFrom(Dir.Dir(), Ini.string());
  EXPECT_EQ(StartValues.Receive.Mode, TReceiveMode::Adaptive);
  EXPECT_EQ(StartValues.Receive.MaxDelayMs, 120u);
  ResetStartValues();
  EXPECT_EQ(StartValues.Receive.Mode, TReceiveMode::Fixed);
  EXPECT_EQ(StartValues.Receive.MaxDelayMs, 200u);
}

}  // namespace
