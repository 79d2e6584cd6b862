// Repeats collapse: what is written, what is counted, and when the counts come,
// on a clock of the test's own; then the same through the process log's files,
// and the removal of old day folders.
#include <gtest/gtest.h>

#include "config/start_values.h"
#include "log/log.h"
#include "log/log_retention.h"
#include "log/repeat_filter.h"
#include "platform/clock.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int64_t Second = 1000, Minute = 60 * Second;

// Feeds texts to a filter at given times and keeps what would reach the file.
struct TFeed {
  TRepeatFilter Filter;
  Lines File;
  void At(int64_t Ms, const std::string& Text, const std::string& Key = "") {
    std::vector<TRepeatFilter::TCount> Due;
    const bool Admitted = Filter.Admit(Key, Text, Ms, "stamp@" + std::to_string(Ms) + " ", Due);
    for (const auto& C : Due) File.push_back(C.Key + "|" + TRepeatFilter::CountLine(C));
    if (Admitted) File.push_back(Key + "|" + Text);
  }
};

TEST(RepeatFilter, AFloodIsWrittenTwiceThenCountedUntilItHasBeenQuietAMinute) {
  TFeed F;
  for (int64_t T = 0; T < 30 * Second; T += 300) F.At(T, "Sound recorder device not found");  // 100 times
  F.At(31 * Second, "a peer connected");
  EXPECT_EQ(F.File, (Lines{"|Sound recorder device not found", "|Sound recorder device not found",
                           "|a peer connected"}))
      << "a different text, a change of state, goes through at once";

  // Quiet for a minute: the count, with the time of its last occurrence, comes
  // with the next line; then the text is written again as new.
  F.At(29700 + Minute, "other");
  F.At(29700 + Minute + 1, "Sound recorder device not found");
  EXPECT_EQ(Lines(F.File.begin() + 3, F.File.end()),
            (Lines{"|Repeated 98 times until stamp@29700: Sound recorder device not found", "|other",
                   "|Sound recorder device not found"}));
}

TEST(RepeatFilter, OnlyTwoWithinAMinuteStartTheCounting) {
  TFeed F;
  F.At(0, "x");
  F.At(40 * Second, "x");
  F.At(101 * Second, "x");  // only one write in the minute before
  F.At(130 * Second, "x");  // again only one
  F.At(150 * Second, "x");  // two within the minute before: counted
  EXPECT_EQ(F.File, (Lines{"|x", "|x", "|x", "|x"}));
  EXPECT_EQ(F.Filter.Flush().size(), 1u);
}

TEST(RepeatFilter, AFloodThatGoesOnIsCountedEveryTenMinutesAndAtStop) {
  TFeed F;
  int64_t T = 0;
  for (; T <= 25 * Minute; T += Second) F.At(T, "RTP SSRC CHANGED!");
  EXPECT_EQ(F.File, (Lines{"|RTP SSRC CHANGED!", "|RTP SSRC CHANGED!",
                           "|Repeated 600 times until stamp@601000: RTP SSRC CHANGED!",
                           "|Repeated 600 times until stamp@1201000: RTP SSRC CHANGED!"}));
  const auto Open = F.Filter.Flush();
  ASSERT_EQ(Open.size(), 1u);
  EXPECT_EQ(TRepeatFilter::CountLine(Open[0]), "Repeated 299 times until stamp@1500000: RTP SSRC CHANGED!");
  EXPECT_TRUE(F.Filter.Flush().empty());
}

TEST(RepeatFilter, EachLogCountsApartAndTheBannerAndStartStopLinesAlwaysGo) {
  TFeed F;
  const Lines Always = {"",
                        std::string(67, '*'),
                        "TAVEK Vantelo service v1.2.3.4",
                        "Using config file: /opt/Brenvic.ini",
                        "TAVEK Vantelo service starting...",
                        "RTP Session started successfully",
                        "Audio mixer processor -> started",
                        "Sound recorder processor -> not started",
                        "UDP sender/receiver processor -> stopped",
                        "Exception in main proceding: TAVEK Vantelo service failed to start"};
  for (int Round = 0; Round < 3; ++Round)
    for (const std::string& Text : Always) F.At(Round, Text);
  EXPECT_EQ(F.File.size(), 3 * Always.size());

  F.File.clear();
  for (int I = 0; I < 3; ++I) {
    F.At(I, "Send AV[0.00 bps]", "measure");
    F.At(I, "Send AV[0.00 bps]");
  }
  EXPECT_EQ(F.File, (Lines{"measure|Send AV[0.00 bps]", "|Send AV[0.00 bps]", "measure|Send AV[0.00 bps]",
                           "|Send AV[0.00 bps]"}));
  const auto Open = F.Filter.Flush();
  ASSERT_EQ(Open.size(), 2u);
  EXPECT_EQ(Open[0].Key, "");
  EXPECT_EQ(Open[1].Key, "measure");
}

// ---- through the process log ------------------------------------------------

Platform::TLocalTime FilterNow;
Platform::TLocalTime FilterClock() { return FilterNow; }

class LogFiles : public ::testing::Test {
protected:
  void SetUp() override {
    Platform::SetLocalTimeSource(&FilterClock);
    FilterNow = {2026, 12, 7, 14, 5, 3, 7};
  }
  void TearDown() override {
    CloseLog();
    Platform::SetLocalTimeSource(nullptr);
    SetLogKeepDays(0);
  }
  std::filesystem::path Logs() const { return Dir.Path() / "Logs"; }
  TestSupport::TTempDir Dir;
};

TEST_F(LogFiles, RepeatsAreCountedAndTheCountIsWrittenAtClose) {
  OpenLogIn(Dir.Dir(), "Brenvic", "Brenvic");
  for (int I = 0; I < 50; ++I) {
    EXPECT_TRUE(WriteLog("Sound player device not found")) << "a counted line is no failure";
    WriteLogTo("Send AV[0.00 bps]", "measure");
  }
  WriteLog("TAVEK Vantelo service stopping...");
  CloseLog();
  EXPECT_EQ(TestSupport::ReadFile(Logs() / "2026_12_07" / "14_Brenvic.log"),
            "14:05:03.007 Sound player device not found\r\n"
            "14:05:03.007 Sound player device not found\r\n"
            "14:05:03.007 TAVEK Vantelo service stopping...\r\n"
            "14:05:03.007 Repeated 48 times until 14:05:03.007: Sound player device not found\r\n");
  EXPECT_EQ(TestSupport::SplitCrLf(TestSupport::ReadFile(Logs() / "2026_12_07" / "measure_14_Brenvic.log")).size(),
            3u);
}

TEST_F(LogFiles, RetentionRemovesOldDayFoldersAndNothingElse) {
  for (const char* Folder : {"2026_11_30", "2026_12_01", "2026_12_05", "2026_12_06", "2026_12_07", "2026_12_09",
                             "2026_02_30", "2026_12_1", "archive"}) {
    std::filesystem::create_directories(Logs() / Folder / "inner");
    TestSupport::WriteFile(Logs() / Folder / "14_Brenvic.log", "x");
  }
  TestSupport::WriteFile(Logs() / "2026_11_29", "a file, not a day folder");
  const long Today = DaysFromCivil(2026, 12, 7);

  EXPECT_EQ(RemoveOldDayFolders(Logs().string(), Today, 0), 0) << "0 keeps everything";
  EXPECT_EQ(RemoveOldDayFolders(Logs().string(), Today, 2), 3);
  Lines Left;
  for (const auto& E : std::filesystem::directory_iterator(Logs())) Left.push_back(E.path().filename().string());
  std::sort(Left.begin(), Left.end());
  EXPECT_EQ(Left, (Lines{"2026_02_30", "2026_11_29", "2026_12_06", "2026_12_07", "2026_12_09", "2026_12_1",
                         "archive"}))
      << "today and yesterday kept; no real date, no folder, a future day: left alone";

  // The log itself applies it with the first line of each day.
  SetLogKeepDays(1);
  OpenLogIn(Dir.Dir(), "Brenvic", "Brenvic");
  WriteLog("still the 7th");
  EXPECT_FALSE(std::filesystem::exists(Logs() / "2026_12_06")) << "removed with the day's first line";
  EXPECT_TRUE(std::filesystem::exists(Logs() / "2026_12_07"));
  FilterNow = {2026, 12, 8, 0, 0, 1, 0};
  WriteLog("the 8th");
  EXPECT_FALSE(std::filesystem::exists(Logs() / "2026_12_07"));
  EXPECT_TRUE(std::filesystem::exists(Logs() / "2026_12_08" / "00_Brenvic.log"));
}

}  // namespace
