#include "audio/mesure_streams.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "config/start_values.h"
#include "log_capture.h"

namespace {

// A tick counter the test moves by hand.
struct TFakeTick {
  uint32_t Now = 0;
  TMesureStreams::TTickSource Source() {
    return [this] { return Now; };
  }
};

TEST(MesureStreams, DueAfterTheIntervalAcrossTheTickWrap) {
  for (const uint32_t Start : {0u, 123456u, 0xFFFFF000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(Start);
    TFakeTick Tick{Start};
    TMesureStreams M(10000, Tick.Source());
    EXPECT_FALSE(M.IsDue());
    Tick.Now = Start + 9999;
    EXPECT_FALSE(M.IsDue());
    Tick.Now = Start + 10000;
    EXPECT_TRUE(M.IsDue());
    M.Report();  // a new interval from now
    EXPECT_FALSE(M.IsDue());
    Tick.Now = Start + 20000;
    EXPECT_TRUE(M.IsDue());
  }
}

TEST(MesureStreams, ReportLines) {
  struct TCase {
    uint32_t Interval, Sent, Received, ElapsedMs;
    const char* Line;
  } Cases[] = {
      {10000, 80000, 80000, 10000, "Send AV[8000.00 bps], Receive AV[8000.00 bps]"},
      {10000, 0, 80000, 10000, "Send AV[0.00 bps], Receive AV[8000.00 bps]"},  // no peers: nothing sent
      // Reported one pass late: still divided by the nominal ten seconds.
      {10000, 80800, 80800, 10100, "Send AV[8080.00 bps], Receive AV[8080.00 bps]"},
      // Stopped for a minute: everything counted before is in the first report.
      {10000, 160, 480, 70000, "Send AV[16.00 bps], Receive AV[48.00 bps]"},
      {3000, 1, 2, 3000, "Send AV[0.33 bps], Receive AV[0.67 bps]"},
      {10000, 4294967295u, 7, 10000, "Send AV[429496729.50 bps], Receive AV[0.70 bps]"},
      {500, 4000, 0, 500, "Send AV[8000.00 bps], Receive AV[0.00 bps]"},
      {0, 4000, 10, 0, "Send AV[0.00 bps], Receive AV[0.00 bps]"},  // no interval, no rate
  };
  TestSupport::TLogCapture Capture;
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Line);
    TFakeTick Tick{1000};
    TMesureStreams M(C.Interval, Tick.Source());
    // Counted in packet-sized steps, as the session does.
    for (uint32_t Left = C.Sent; Left > 0;) {
      const uint32_t Step = Left > 160 ? 160 : Left;
      M.AddSent(Step);
      Left -= Step;
    }
    M.AddReceived(C.Received);
    Tick.Now += C.ElapsedMs;
    EXPECT_TRUE(M.IsDue());
    M.Report();
    EXPECT_EQ(Capture.Lines("measure").back(), C.Line);
  }
}

TEST(MesureStreams, ReportGoesToTheMeasureFileWhateverDoLogSays) {
  for (const bool Log : {false, true}) {
    SCOPED_TRACE(Log);
    ResetStartValues();
    DoLog = Log;
    TestSupport::TLogCapture Capture;
    TFakeTick Tick{5};
    TMesureStreams M(10000, Tick.Source());
    M.AddSent(80000);
    M.AddReceived(40000);
    Tick.Now += 10050;
    ASSERT_TRUE(M.IsDue());
    M.Report();
    // The counters start again.
    Tick.Now += 10000;
    M.AddReceived(80000);
    M.Report();
    EXPECT_EQ(Capture.Lines("measure"), (std::vector<std::string>{
                                            "Send AV[8000.00 bps], Receive AV[4000.00 bps]",
                                            "Send AV[0.00 bps], Receive AV[8000.00 bps]",
                                        }));
    EXPECT_TRUE(Capture.Lines().empty());  // nothing in the main log
  }
  ResetStartValues();
}

// The decimal separator is a point even where the C library would write a comma.
TEST(MesureStreams, PointWhateverTheLocale) {
  const std::string Saved = std::setlocale(LC_ALL, nullptr);
  bool CommaLocale = false;
  for (const char* Name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252", "German"}) {
    if (std::setlocale(LC_ALL, Name)) {
      char Buf[32];
      std::snprintf(Buf, sizeof(Buf), "%.2f", 1.5);
      CommaLocale = std::string(Buf) == "1,50";
      if (CommaLocale) break;
    }
  }
  TestSupport::TLogCapture Capture;
  TFakeTick Tick;
  TMesureStreams M(10000, Tick.Source());
  M.AddSent(15);
  M.Report();
  std::setlocale(LC_ALL, Saved.c_str());
  EXPECT_EQ(Capture.Lines("measure"), std::vector<std::string>{"Send AV[1.50 bps], Receive AV[0.00 bps]"});
  RecordProperty("CommaLocaleTried", CommaLocale ? "yes" : "no");
}

}  // namespace
