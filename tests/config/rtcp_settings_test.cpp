#include "config/rtcp_settings.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "config/ini_file.h"
#include "config/start_values.h"
#include "test_support.h"

namespace {

struct TRtcpCase {
  std::string Text;
  TRtcpMode Mode;
  uint32_t IntervalMs;
  std::string Cname;
  std::vector<std::string> Problems;
};

TEST(RtcpSettings, SectionByScenario) {
  const std::string Made = "brenvic-0123456789abcdef";
  const std::vector<TRtcpCase> Cases = {
      {"[Options]\r\nLocalPort=1\r\n", TRtcpMode::Off, 5000, Made, {}},
      {"[Rtcp]\r\nMode=mux\r\n", TRtcpMode::Mux, 5000, Made, {}},
      {"[rtcp]\r\nmode = PORT\r\nIntervalMs=0x3E8\r\nCname=\"desk 7@call-centre\"\r\n", TRtcpMode::Port, 1000,
       "desk 7@call-centre", {}},
      {"[Rtcp]\r\nMode=off\r\nIntervalMs=100\r\nCname=\r\n", TRtcpMode::Off, 100, Made, {}},
      {"[Rtcp]\r\nIntervalMs=60000\r\n", TRtcpMode::Off, 60000, Made, {}},
      {"[Rtcp]\r\nMode=both\r\n", TRtcpMode::Off, 5000, Made, {"[Rtcp] Mode=both is none of off, mux and port; off is used"}},
      {"[Rtcp]\r\nMode=mux\r\nIntervalMs=99\r\n", TRtcpMode::Mux, 5000, Made,
       {"[Rtcp] IntervalMs=99 is outside 100..60000; 5000 is used"}},
      {"[Rtcp]\r\nIntervalMs=-1\r\n", TRtcpMode::Off, 5000, Made,
       {"[Rtcp] IntervalMs=-1 is outside 100..60000; 5000 is used"}},
      {"[Rtcp]\r\nIntervalMs=60001\r\n", TRtcpMode::Off, 5000, Made,
       {"[Rtcp] IntervalMs=60001 is outside 100..60000; 5000 is used"}},
      {"[Rtcp]\r\nIntervalMs=soon\r\n", TRtcpMode::Off, 5000, Made, {}},  // not a number: the default
      {"[Rtcp]\r\nCname=" + std::string(255, 'c') + "\r\n", TRtcpMode::Off, 5000, std::string(255, 'c'), {}},
      {"[Rtcp]\r\nCname=" + std::string(256, 'c') + "\r\n", TRtcpMode::Off, 5000, Made,
       {"[Rtcp] Cname is 256 bytes, more than 255; " + Made + " is used"}},
  };
  for (const TRtcpCase& C : Cases) {
    SCOPED_TRACE(C.Text);
    const TRtcpSettings R = ReadRtcpSettings(TIniFile::FromText(C.Text), Made);
    EXPECT_EQ(R.Mode, C.Mode);
    EXPECT_EQ(R.IntervalMs, C.IntervalMs);
    EXPECT_EQ(R.Cname, C.Cname);
    EXPECT_EQ(R.Problems, C.Problems);
  }
}

TEST(RtcpSettings, InstallationCnameIsStableDistinctAndTellsNothing) {
  const std::string Machine = "3d1219c7c4c5404aaa1f6d2a48adfda4";
  const std::string Name = InstallationCname(Machine, "/opt/brenvic/");
  EXPECT_TRUE(std::regex_match(Name, std::regex("brenvic-[0-9a-f]{16}"))) << Name;
  EXPECT_EQ(InstallationCname(Machine, "/opt/brenvic/"), Name);
  EXPECT_NE(InstallationCname(Machine, "/opt/brenvic2/"), Name) << "another installation on the machine";
  EXPECT_NE(InstallationCname("4e2310d8d5d6515bbb2e7b3b59beeb05", "/opt/brenvic/"), Name) << "another machine";
  EXPECT_NE(InstallationCname(Machine + "/opt", "/brenvic/"), Name) << "the parts are kept apart";
  EXPECT_NE(InstallationCname("", "/opt/brenvic/"), InstallationCname("", "/opt/other/")) << "no machine identity";
}

TEST(RtcpSettings, LoadedWithTheOtherSettingsWithTheInstallationsName) {
  TestSupport::TTempDir A, B;
  for (const auto* Dir : {&A, &B})
    TestSupport::WriteFile(Dir->Path() / "Brenvic.ini", "[Options]\r\nDoLog=0\r\n[Rtcp]\r\nMode=port\r\n");
  LoadStartValuesFrom(A.Dir(), (A.Path() / "Brenvic.ini").string());
  const std::string First = StartValues.Rtcp.Cname;
  EXPECT_EQ(StartValues.Rtcp.Mode, TRtcpMode::Port);
  EXPECT_TRUE(std::regex_match(First, std::regex("brenvic-[0-9a-f]{16}"))) << First;
  LoadStartValuesFrom(A.Dir(), (A.Path() / "Brenvic.ini").string());
  EXPECT_EQ(StartValues.Rtcp.Cname, First) << "the same at the next start";
  LoadStartValuesFrom(B.Dir(), (B.Path() / "Brenvic.ini").string());
  EXPECT_NE(StartValues.Rtcp.Cname, First) << "another folder, another installation";
  ResetStartValues();
  EXPECT_EQ(StartValues.Rtcp.Mode, TRtcpMode::Off);
}

}  // namespace
