// The call record of the real program: a peer talks with a few packets lost on
// the way and falls silent; its record is in the log and in calls.jsonl, and
// only when [Quality] asks for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "e2e_support_posix.h"

namespace {

using namespace std::chrono_literals;
using namespace E2E;

std::string CallsFile(const TBridge& B) {
  std::string Text;
  for (auto& E : std::filesystem::recursive_directory_iterator(B.Dir() / "Logs"))
    if (E.path().filename() == "calls.jsonl") Text += TestSupport::ReadFile(E.path());
  return Text;
}

TEST(CallQuality, AFinishedCallLeavesItsRecordOnlyWhenAskedFor) {
  for (const bool Asked : {true, false}) {
    SCOPED_TRACE(Asked ? "CallRecords=1" : "no [Quality]");
    const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
    TBridge B(Ini(Port, 9, Tcp, std::string("DisconnectTimeOut=600\r\n") + (Asked ? "[Quality]\r\nCallRecords=1\r\n" : ""),
                  "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear\r\n"));
    B.Start();
    ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
    TSocket Peer(SOCK_DGRAM);
    // 200 packets, of which 10 (numbers 50 to 59) never arrive. The first one
    // serves the stream's probation (RFC 3550 A.1): 10 of 199 expected are lost.
    const auto T0 = std::chrono::steady_clock::now();
    for (uint16_t Seq = 0; Seq < 200; ++Seq) {
      std::this_thread::sleep_until(T0 + Seq * 20ms);
      if (Seq < 50 || Seq >= 60) Peer.SendTo(Port, RtpPacket(Seq, 160u * Seq, 0x4242, Bytes(160, '\x55')));
    }
    ASSERT_TRUE(B.WaitForLog("DISCONNECTED: [ID=1", 5s));
    B.Signal(SIGINT);
    EXPECT_EQ(B.Wait(5s), 0);
    size_t Records = 0;
    std::string Line;
    for (const std::string& L : B.LogLines())
      if (L.rfind("CALL QUALITY: ", 0) == 0) ++Records, Line = L;
    if (!Asked) {
      EXPECT_EQ(Records, 0u);
      EXPECT_EQ(CallsFile(B), "");
      continue;
    }
    ASSERT_EQ(Records, 1u);
    const std::string Who = "CALL QUALITY: [IP=127.0.0.1,Port=" + std::to_string(Peer.Port()) + "] duration=";
    EXPECT_EQ(Line.rfind(Who, 0), 0u) << Line;
    EXPECT_NE(Line.find(" rx_loss=5.03% "), std::string::npos) << Line;
    // The fixed receive mode makes nothing up, and plays a packet as it comes.
    EXPECT_NE(Line.find(" concealed=0.00% delay="), std::string::npos) << Line;
    EXPECT_EQ(Line.find(" delay=-"), std::string::npos) << Line;
    EXPECT_NE(Line.find(" tx_loss=- rtt=- R="), std::string::npos) << "no RTCP: " << Line;
    EXPECT_NE(Line.find(" net_delay=unknown"), std::string::npos) << Line;
    const std::string Json = CallsFile(B);
    EXPECT_EQ(std::count(Json.begin(), Json.end(), '\n'), 1);
    EXPECT_NE(Json.find("\"rx_loss_percent\":5.03,"), std::string::npos) << Json;
    EXPECT_NE(Json.find("\"peer_port\":" + std::to_string(Peer.Port()) + ","), std::string::npos) << Json;
  }
}

}  // namespace
