// The call record: its log line and JSON byte for byte, the JSON string
// escaping, and the writer's file in the log's day folder.

#include "quality/call_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "log/log_retention.h"
#include "log_capture.h"
#include "test_support.h"

namespace {

using namespace std::chrono;

TCallRecord FullRecord() {
  TCallRecord R;
  R.PeerIp = "10.0.0.7";
  R.PeerPort = 5004;
  R.Start = sys_days{year{2024} / 5 / 1} + hours{10} + minutes{2} + seconds{3} + milliseconds{999};
  R.DurationS = 62.44;
  R.Figures = {1.254, 3.06, 0.8, 41, 0.5, 12, 88.449, 4.2749, true};
  return R;
}

TEST(CallRecord, FullRecordLineAndJson) {
  const TCallRecord R = FullRecord();
  EXPECT_EQ(CallRecordLine(R),
            "CALL QUALITY: [IP=10.0.0.7,Port=5004] duration=62.4 rx_loss=1.25% rx_jitter=3.1ms concealed=0.80% "
            "delay=41.0ms tx_loss=0.50% rtt=12.0ms R=88.4 MOS=4.27");
  EXPECT_EQ(CallRecordJson(R),
            "{\"peer_ip\":\"10.0.0.7\",\"peer_port\":5004,\"start\":\"2024-05-01T10:02:03Z\",\"duration_s\":62.4,"
            "\"rx_loss_percent\":1.25,\"rx_jitter_ms\":3.1,\"concealed_percent\":0.80,\"buffer_delay_ms\":41.0,"
            "\"tx_loss_percent\":0.50,\"rtt_ms\":12.0,\"r\":88.4,\"mos\":4.27,\"network_delay_known\":true}");
}

TEST(CallRecord, UnmeasuredFiguresAreDashesAndNulls) {
  TCallRecord R;
  R.PeerIp = "::1";
  R.PeerPort = 40000;
  R.DurationS = 0.04;
  EXPECT_EQ(CallRecordLine(R),
            "CALL QUALITY: [IP=::1,Port=40000] duration=0.0 rx_loss=- rx_jitter=- concealed=- delay=- tx_loss=- "
            "rtt=- R=- MOS=-");
  EXPECT_EQ(CallRecordJson(R),
            "{\"peer_ip\":\"::1\",\"peer_port\":40000,\"start\":\"1970-01-01T00:00:00Z\",\"duration_s\":0.0,"
            "\"rx_loss_percent\":null,\"rx_jitter_ms\":null,\"concealed_percent\":null,\"buffer_delay_ms\":null,"
            "\"tx_loss_percent\":null,\"rtt_ms\":null,\"r\":null,\"mos\":null,\"network_delay_known\":null}");

  // Scored without RTCP: the line says the network's delay is not in it; a
  // value that is no number is not measured; a tiny negative rounds to 0.
  R.Figures.RxLossPercent = -0.001;
  R.Figures.RxJitterMs = std::nan("");
  R.Figures.R = 92.86;
  R.Figures.Mos = 4.4;
  EXPECT_EQ(CallRecordLine(R),
            "CALL QUALITY: [IP=::1,Port=40000] duration=0.0 rx_loss=0.00% rx_jitter=- concealed=- delay=- tx_loss=- "
            "rtt=- R=92.9 MOS=4.40 net_delay=unknown");
  const std::string Json = CallRecordJson(R);
  EXPECT_NE(Json.find("\"rx_loss_percent\":0.00,\"rx_jitter_ms\":null,"), std::string::npos) << Json;
  EXPECT_NE(Json.find("\"r\":92.9,\"mos\":4.40,\"network_delay_known\":false}"), std::string::npos) << Json;
}

TEST(CallRecord, FiguresFromTheReceiveStatistics) {
  // Nothing arrived, nothing played: nothing is measured.
  EXPECT_EQ(CallFiguresOf(TQualityFigures{}), TCallFigures{});

  TQualityFigures Q;
  Q.Packets = Q.Expected = 1;  // one packet: loss counts, jitter does not yet
  Q.AudioMs = Q.SilentMs = 200;  // only silence played: no frame, no buffer delay
  const std::nullopt_t None = std::nullopt;
  EXPECT_EQ(CallFiguresOf(Q, 2.5, None), (TCallFigures{0.0, None, 0.0, None, 2.5, None, None, None, false}));

  Q.Packets = 500;
  Q.Expected = 505;
  Q.LossPercent = 0.99;
  Q.JitterMs = 4.5;
  Q.AudioMs = 10000;
  Q.ConcealedPercent = 1.2;
  Q.BufferDelayMs = 60;
  Q.Scored = true;
  Q.Score = {80.1, 4.0, 0, true};
  EXPECT_EQ(CallFiguresOf(Q, None, 30.0), (TCallFigures{0.99, 4.5, 1.2, 60.0, None, 30.0, 80.1, 4.0, true}));
}

TEST(CallRecord, JsonStringEscapesWhatJsonForbids) {
  EXPECT_EQ(JsonString("say \"hi\"\\ \n\r\t\b\f\x01\x1f\x7f/<"),
            "\"say \\\"hi\\\"\\\\ \\n\\r\\t\\b\\f\\u0001\\u001f\\u007f/<\"");
  EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
  // UTF-8 passes as it is; a byte that is none (an ANSI letter, a cut
  // sequence, an overlong form, a surrogate) becomes U+FFFD.
  EXPECT_EQ(JsonString("\xd0\x9c\xe2\x82\xac\xf0\x9f\x8e\xa7"), "\"\xd0\x9c\xe2\x82\xac\xf0\x9f\x8e\xa7\"");
  EXPECT_EQ(JsonString("\xcc-\xe2\x82-\xc0\xaf-\xed\xa0\x80"), "\"\\ufffd-\\ufffd\\ufffd-\\ufffd\\ufffd-\\ufffd\\ufffd\\ufffd\"");

  // No control character is left raw, whatever the text.
  std::string Every;
  for (int C = 0; C < 0x80; ++C) Every += static_cast<char>(C);
  const std::string Json = JsonString(Every);
  EXPECT_TRUE(std::none_of(Json.begin(), Json.end(), [](unsigned char C) { return C < 0x20 || C == 0x7F; }));
}

class CallRecordFile : public ::testing::Test {
protected:
  std::string FilePath() const { return LogDayFolder() + CallRecordFileName; }
  TestSupport::TLogCapture Log;
};

TEST_F(CallRecordFile, EachRecordAppendsALineToTheDayFoldersFile) {
  const std::string Folder = LogDayFolder();
  const std::filesystem::path Day = std::filesystem::path(Folder).parent_path();
  EXPECT_EQ(Day.parent_path().filename(), "Logs");
  int Y, M, D;
  EXPECT_TRUE(ParseDayFolderName(Day.filename().string(), Y, M, D)) << Folder;

  TCallRecord Second = FullRecord();
  Second.PeerIp = "a\"b";
  Second.Figures = {};
  EXPECT_TRUE(WriteCallRecord(FullRecord()));
  EXPECT_TRUE(WriteCallRecord(Second));
  EXPECT_EQ(TestSupport::ReadFile(FilePath()), CallRecordJson(FullRecord()) + "\n" + CallRecordJson(Second) + "\n");
  EXPECT_EQ(Log.Lines(), (std::vector<std::string>{CallRecordLine(FullRecord()), CallRecordLine(Second)}));
}

TEST_F(CallRecordFile, AFailedWriteIsLoggedOncePerRunOfFailures) {
  std::filesystem::create_directory(FilePath());  // the file cannot be opened
  const std::string Error = "Error: call record not written to " + FilePath();
  const std::string Line = CallRecordLine(FullRecord());
  EXPECT_FALSE(WriteCallRecord(FullRecord()));
  EXPECT_FALSE(WriteCallRecord(FullRecord()));
  std::filesystem::remove(FilePath());
  EXPECT_TRUE(WriteCallRecord(FullRecord()));
  std::filesystem::remove(FilePath());
  std::filesystem::create_directory(FilePath());
  EXPECT_FALSE(WriteCallRecord(FullRecord()));
  EXPECT_EQ(Log.Lines(), (std::vector<std::string>{Line, Error, Line, Line, Line, Error}));
  std::filesystem::remove(FilePath());
  EXPECT_TRUE(WriteCallRecord(FullRecord()));  // leaves the writer as it found it
}

TEST_F(CallRecordFile, WritersOnManyThreadsEachGetAWholeLine) {
  constexpr int Threads = 8, Each = 200;
  std::vector<std::thread> Writers;
  for (int T = 0; T < Threads; ++T)
    Writers.emplace_back([T] {
      TCallRecord R = FullRecord();
      R.PeerPort = static_cast<uint16_t>(T);
      for (int I = 0; I < Each; ++I) EXPECT_TRUE(WriteCallRecord(R));
    });
  for (std::thread& W : Writers) W.join();
  const std::string Text = TestSupport::ReadFile(FilePath());
  std::vector<int> PerThread(Threads);
  size_t Pos = 0, Lines = 0;
  for (size_t End; (End = Text.find('\n', Pos)) != std::string::npos; Pos = End + 1, ++Lines) {
    TCallRecord R = FullRecord();
    R.PeerPort = static_cast<uint16_t>(std::stoi(Text.substr(Text.find("\"peer_port\":", Pos) + 12, 1)));
    ASSERT_EQ(Text.substr(Pos, End - Pos), CallRecordJson(R));
    ++PerThread[R.PeerPort];
  }
  EXPECT_EQ(Pos, Text.size());
  EXPECT_EQ(Lines, size_t{Threads * Each});
  EXPECT_EQ(PerThread, std::vector<int>(Threads, Each));
}

}  // namespace
