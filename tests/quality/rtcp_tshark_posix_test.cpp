// A second opinion on the RTCP we build: an independent dissector (tshark)
// must read every compound packet without a malformed-packet or warning mark,
// with the fields we meant. Without tshark the test fails: install it
// (scripts/install-deps.sh) rather than lose the check.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "quality/rtcp_packet.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;

constexpr uint16_t Port = 30001;

TEST(RtcpTshark, DecodesEveryCompoundWeBuild) {
  std::vector<TRtcpReportBlock> Blocks;
  for (uint32_t I = 0; I < 40; ++I) Blocks.push_back({0x1000 + I, 12, I % 2 ? -5 : 7, 65600 + I, 40, 0xb7052000, 0x54000});
  const TRtcpSenderInfo Sender{0xe8a1b2c340000000, 160, 5, 800};
  const std::string Long(255, 'x');
  struct TCase {
    TRtcpReport Report;
    std::string Fields;  // packet types, sender SSRC, packet count, report block count, CNAME and BYE reason
  };
  const TCase Cases[] = {
      {{0x11223344, Sender, {Blocks.data(), 1}, "agent@desk-7", false, ""}, "200,202\t0x11223344\t5\t1\tagent@desk-7"},
      {{0x11223344, std::nullopt, {}, "a", false, ""}, "201,202\t0x11223344\t\t0\ta"},
      {{0x11223344, std::nullopt, {}, "", false, ""}, "201,202\t0x11223344\t\t0\t"},
      {{0x11223344, std::nullopt, {}, "abcd", true, ""}, "201,202,203\t0x11223344\t\t0\tabcd"},
      {{0x11223344, Sender, {Blocks.data(), 31}, "ab", true, "session ended"},
       "200,202,203\t0x11223344\t5\t31\tab,session ended"},
      {{0x11223344, Sender, Blocks, Long, true, Long}, "200,201,202,203\t0x11223344,0x11223344\t5\t31,9\t" + Long + "," + Long},
  };
  TestSupport::TPcapWriter Pcap(Port);
  std::vector<uint8_t> Buffer(2048);
  std::string Expected;
  for (const TCase& C : Cases) {
    const uint32_t Size = BuildRtcpCompound(C.Report, Buffer);
    ASSERT_GT(Size, 0u);
    Pcap.Add(Buffer.data(), Size);
    Expected += C.Fields + "\t1\t\t\n";
  }
  TestSupport::TTempDir Dir;
  const auto Capture = Dir.Path() / "rtcp.pcap";
  const auto Out = Dir.Path() / "fields.txt";
  const auto Err = Dir.Path() / "stderr.txt";
  TestSupport::WriteFile(Capture, Pcap.Bytes());
  const std::string Command =
      "tshark -r '" + Capture.string() + "' -d udp.port==" + std::to_string(Port) +
      ",rtcp -T fields -e rtcp.pt -e rtcp.senderssrc -e rtcp.sender.packetcount -e rtcp.rc -e rtcp.sdes.text"
      " -e rtcp.length_check -e _ws.malformed -e _ws.expert.severity > '" +
      Out.string() + "' 2> '" + Err.string() + "'";
  ASSERT_EQ(std::system(Command.c_str()), 0) << "tshark failed or is missing (scripts/install-deps.sh installs it):\n"
                                             << ReadFile(Err);
  EXPECT_EQ(ReadFile(Out), Expected);
}

}  // namespace
