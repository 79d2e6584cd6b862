// A second opinion on the packets we build: an independent RTP dissector
// (tshark) must read them as RTP with the fields we meant. Without tshark the
// test fails: install it (scripts/install-deps.sh) rather than lose the check.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "rtp/rtp_codec.h"
#include "rtp_test_support.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::TPcapWriter;
using TestSupport::TTempDir;
using TestSupport::WriteFile;

constexpr uint16_t Port = 30000;

std::string Hex(const uint8_t* P, size_t N) {
  static const char* Digits = "0123456789abcdef";
  std::string S;
  for (size_t I = 0; I < N; ++I) {
    S += Digits[P[I] >> 4];
    S += Digits[P[I] & 15];
  }
  return S;
}

TEST(RtpTshark, DecodesOurPacketsAsPcmaRtp) {
  TTempDir Dir;
  TRtpCodec Codec(2024);
  Codec.SetMarkerPending();
  const std::vector<uint8_t> Payload = RtpTest::Pattern(160);
  TRtpPacketBuffer Packet;
  TPcapWriter Pcap(Port);
  std::vector<std::string> Expected;
  // seq,timestamp,marker,payload type,padding,padding count,ssrc,payload
  auto Build = [&](bool Marker, uint32_t Timestamp, bool Padded, int PadCount) {
    const uint32_t Size = Codec.BuildPacket(Payload.data(), 160, Packet);
    ASSERT_GT(Size, 0u);
    Pcap.Add(Packet.data(), Size);
    const TRtpSendIdentity Id = Codec.SendIdentity();
    char Line[200];
    std::snprintf(Line, sizeof(Line), "%u,%u,%d,8,%d,%s,0x%08x,", Id.SequenceNumber, Timestamp, Marker ? 1 : 0,
                  Padded ? 1 : 0, PadCount ? std::to_string(PadCount).c_str() : "", Id.Ssrc);
    Expected.push_back(Line + Hex(Payload.data(), Payload.size()));
  };
  Build(true, 160, false, 0);  // the first packet of a start
  Build(false, 320, false, 0);
  Build(false, 480, false, 0);
  Codec.SetBufSizeMultiple(8);  // 172 -> 176 bytes
  Build(false, 640, true, 4);
  Codec.SetBufSizeMultiple(1);
  Codec.ResetSendIdentity();  // a new stream: new SSRC, timestamps from one step
  Build(false, 160, false, 0);
  const auto Capture = Dir.Path() / "rtp.pcap";
  WriteFile(Capture, Pcap.Bytes());

  const auto Out = Dir.Path() / "fields.txt";
  const auto Err = Dir.Path() / "stderr.txt";
  const std::string Command =
      "tshark -r '" + Capture.string() + "' -d udp.port==" + std::to_string(Port) +
      ",rtp -T fields -E separator=, -e rtp.seq -e rtp.timestamp -e rtp.marker -e rtp.p_type"
      " -e rtp.padding -e rtp.padding.count -e rtp.ssrc -e rtp.payload > '" +
      Out.string() + "' 2> '" + Err.string() + "'";
  const int Rc = std::system(Command.c_str());
  ASSERT_EQ(Rc, 0) << "tshark failed or is missing (scripts/install-deps.sh installs it):\n"
                   << ReadFile(Err);

  std::vector<std::string> Lines;
  std::string Text = ReadFile(Out), Line;
  for (char C : Text) {
    if (C == '\n') {
      Lines.push_back(Line);
      Line.clear();
    } else if (C != '\r') {
      Line += C;
    }
  }
  EXPECT_EQ(Lines, Expected);
  // What tshark read, without the payloads, for the record.
  for (const std::string& L : Lines) std::printf("tshark: %s\n", L.substr(0, L.rfind(',')).c_str());
  // Payload type 8 is PCMA to the dissector.
  const std::string Info = "tshark -r '" + Capture.string() + "' -d udp.port==" + std::to_string(Port) +
                           ",rtp -T fields -e _ws.col.Protocol -e _ws.col.Info > '" + Out.string() + "' 2> '" +
                           Err.string() + "'";
  ASSERT_EQ(std::system(Info.c_str()), 0) << ReadFile(Err);
  int Pcma = 0;
  for (size_t At = 0; (At = ReadFile(Out).find("RTP\tPT=ITU-T G.711 PCMA,", At)) != std::string::npos; ++At) ++Pcma;
  EXPECT_EQ(Pcma, 5) << ReadFile(Out);
}

}  // namespace
