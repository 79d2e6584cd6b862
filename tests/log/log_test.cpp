#include "log/log.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "test_support.h"

namespace {

using Platform::TLocalTime;
using TestSupport::ReadFile;
using TestSupport::TTempDir;

TLocalTime FakeNow;
TLocalTime FakeClock() { return FakeNow; }

class HourlyLog : public ::testing::Test {
protected:
  void SetUp() override {
    Platform::SetLocalTimeSource(&FakeClock);
    At(2026, 12, 6, 14, 5, 3, 7);
  }
  void TearDown() override {
    CloseLog();
    Platform::SetLocalTimeSource(nullptr);
  }
  static void At(int Y, int Mo, int D, int H, int Mi, int S, int Ms) { FakeNow = {Y, Mo, D, H, Mi, S, Ms}; }
  void Open() { OpenLogIn(Dir.Dir(), "Brenvic.exe", "Brenvic.exe"); }
  std::string LogFile(const char* Day, const char* Name) { return ReadFile(Dir.Path() / "Logs" / Day / Name); }

  TTempDir Dir;
};

TEST_F(HourlyLog, LinesGoToTheFileOfTheirHourAndDay) {
  Open();
  At(2026, 12, 6, 13, 59, 59, 990);
  EXPECT_TRUE(WriteLog("before the hour"));
  At(2026, 12, 6, 14, 0, 0, 10);
  EXPECT_TRUE(WriteLog("after the hour"));
  EXPECT_TRUE(WriteLog("second"));
  At(2026, 12, 7, 0, 0, 0, 5);
  EXPECT_TRUE(WriteLog("after midnight"));

  EXPECT_EQ(LogFile("2026_12_06", "13_Brenvic.exe.log"), "13:59:59.990 before the hour\r\n");
  EXPECT_EQ(LogFile("2026_12_06", "14_Brenvic.exe.log"),
            "14:00:00.010 after the hour\r\n14:00:00.010 second\r\n");
  EXPECT_EQ(LogFile("2026_12_07", "00_Brenvic.exe.log"), "00:00:00.005 after midnight\r\n");
}

TEST_F(HourlyLog, EmptyMessageSideFilesAndTheLineCut) {
  Open();
  EXPECT_TRUE(WriteLog(""));
  EXPECT_TRUE(WriteLogTo("Send AV[0.00 bps], Receive AV[0.00 bps]", "measure"));
  EXPECT_TRUE(WriteLogTo("main", ""));
  EXPECT_EQ(LogFile("2026_12_06", "14_Brenvic.exe.log"), "14:05:03.007 \r\n14:05:03.007 main\r\n");
  EXPECT_EQ(LogFile("2026_12_06", "measure_14_Brenvic.exe.log"),
            "14:05:03.007 Send AV[0.00 bps], Receive AV[0.00 bps]\r\n");

  const std::string Long(10000, 'x');
  EXPECT_TRUE(WriteLog(Long));
  const std::string All = LogFile("2026_12_06", "14_Brenvic.exe.log");
  const std::string Last = All.substr(All.rfind("14:05:03.007 x"));
  EXPECT_EQ(Last.size(), 8191u);
  EXPECT_EQ(Last, "14:05:03.007 " + std::string(8191 - 13, 'x')) << "cut without its line end";
}

TEST_F(HourlyLog, BytesAreWrittenAsTheyAre) {
  Open();
  const std::string Bytes = "\xE7\xED\xE0\xF7 %s %d \t\"quoted\"";
  EXPECT_TRUE(WriteLog(Bytes));
  EXPECT_EQ(LogFile("2026_12_06", "14_Brenvic.exe.log"), "14:05:03.007 " + Bytes + "\r\n");
}

TEST_F(HourlyLog, RawLinesCarryNoTimeStamp) {
  const std::string Template = "\"" + Dir.Dir() + "\"HH\"_raw.log\"";
  tUniLog Log(Template, "");
  EXPECT_TRUE(Log.WriteRawLine("raw"));
  EXPECT_TRUE(Log.WriteRawLineTo("side", "p"));
  EXPECT_EQ(ReadFile(Dir.Path() / "14_raw.log"), "raw\r\n");
  EXPECT_EQ(ReadFile(Dir.Path() / "p_14_raw.log"), "side\r\n");
}

TEST_F(HourlyLog, BlockedDayFolderDropsLinesAndCreatesNothingElse) {
  std::filesystem::create_directories(Dir.Path() / "Logs");
  TestSupport::WriteFile(Dir.Path() / "Logs" / "2026_12_06", "a file in the folder's place");
  const std::string Template = "\"" + Dir.Dir() + "Logs/\"YYYY\"_\"MM\"_\"DD\"/\"HH\"_Brenvic.exe.log\"";
  tUniLog Log(Template, "");
  EXPECT_FALSE(Log.WriteLine("dropped"));
  EXPECT_FALSE(Log.WriteLineTo("dropped", "measure"));
  EXPECT_FALSE(Log.WriteRawLine("dropped"));
  size_t Entries = 0;
  for (auto& E : std::filesystem::recursive_directory_iterator(Dir.Path())) {
    (void)E;
    ++Entries;
  }
  EXPECT_EQ(Entries, 2u) << "only Logs and the blocking file";

  // The next line tries again: once the folder can be made, lines land.
  std::filesystem::remove(Dir.Path() / "Logs" / "2026_12_06");
  EXPECT_TRUE(Log.WriteLine("kept"));
  EXPECT_EQ(LogFile("2026_12_06", "14_Brenvic.exe.log"), "14:05:03.007 kept\r\n");
}

TEST_F(HourlyLog, NoLogBeforeOpenAfterCloseOrWithoutModuleName) {
  EXPECT_FALSE(WriteLog("too early"));
  EXPECT_FALSE(WriteLogTo("too early", "measure"));
  Open();
  EXPECT_TRUE(WriteLog("open"));
  CloseLog();
  EXPECT_FALSE(WriteLog("too late"));
  CloseLog();  // twice is harmless

  OpenLogIn(Dir.Dir(), "Brenvic.exe", "");
  EXPECT_FALSE(WriteLog("no module name"));
  EXPECT_FALSE(std::filesystem::exists(Dir.Path() / "Logs" / "2026_12_06" / "14_.log"));
}

TEST_F(HourlyLog, LinesFromManyThreadsNeverInterleave) {
  Open();
  constexpr int Threads = 4, PerThread = 200;
  std::vector<std::thread> Writers;
  for (int T = 0; T < Threads; ++T)
    Writers.emplace_back([T] {
      // Numbered: the same text again and again would be collapsed.
      for (int I = 0; I < PerThread; ++I)
        WriteLog("thread " + std::to_string(T) + " " + std::string(300, static_cast<char>('a' + T)) + " " +
                 std::to_string(I));
    });
  for (auto& W : Writers) W.join();
  const auto Lines = TestSupport::SplitCrLf(LogFile("2026_12_06", "14_Brenvic.exe.log"));
  ASSERT_EQ(Lines.size(), size_t{Threads * PerThread});
  for (const std::string& L : Lines) {
    ASSERT_GT(L.size(), 322u);
    const char C = L[13 + 9];
    EXPECT_EQ(L.substr(13, 310), "thread " + std::to_string(C - 'a') + " " + std::string(300, C) + " ");
  }
}

TEST(LogTemplate, DateTimeCodesAndLiterals) {
  EXPECT_EQ(tTimeSeparatedFileLog::FormatDateTime("\"C:\\Svc\\Logs\\\"YYYY\"_\"MM\"_\"DD\"\\\"HH\"_Brenvic.exe.log\"",
                                                  2026, 12, 6, 14),
            "C:\\Svc\\Logs\\2026_12_06\\14_Brenvic.exe.log");
  EXPECT_EQ(tTimeSeparatedFileLog::FormatDateTime("\"MM DD\"MM", 2026, 1, 2, 3), "MM DD01");
}

}  // namespace
