// Which received datagrams are audio: RTCP on the RTP port and foreign payload
// types are told apart from what is played.
#include "rtp/rtp_payload_filter.h"

#include <gtest/gtest.h>

#include "config/start_values.h"
#include "log_capture.h"
#include "rtp/rtp_test_support.h"

namespace {

using V = TRtpPayloadVerdict;

std::vector<uint8_t> Datagram(uint8_t SecondByte, size_t Length = 172) {
  RtpTest::TDatagram D;
  D.Length = Length;
  std::vector<uint8_t> B = D.Bytes();
  if (B.size() > 1) B[1] = SecondByte;
  return B;
}

TEST(RtpPayloadFilter, RtcpAndForeignPayloadTypesAreNotPlayed) {
  struct TCase {
    uint8_t SecondByte;
    size_t Length;
    V Verdict;
  };
  const TCase Cases[] = {
      {8, 172, V::Play},
      {0x88, 172, V::Play},                // the marker is no part of the type
      {200, 52, V::Rtcp},                  // sender report (payload type 72 in the RTP position)
      {201, 8, V::Rtcp},                   // an empty receiver report, the smallest RTCP packet
      {202, 172, V::Rtcp},                 // SDES long enough to pass for audio
      {203, 172, V::Rtcp},                 // BYE
      {204, 172, V::Rtcp},                 // APP
      {192, 172, V::Rtcp},                 // the range reserved by RFC 5761
      {223, 172, V::Rtcp},
      {191, 172, V::OtherPayloadType},     // payload type 63 with the marker: RTP
      {224, 172, V::OtherPayloadType},     // payload type 96 with the marker
      {0, 172, V::OtherPayloadType},       // G.711 mu-law
      {13, 172, V::OtherPayloadType},      // comfort noise
      {96, 172, V::OtherPayloadType},      // dynamic
      {201, 7, V::Play},                   // too short for anything: left to the acceptance rules
      {0, 20, V::Play},                    // the start datagram
      {0, 71, V::Play},
  };
  TRtpPayloadFilter F;
  uint64_t Rtcp = 0, Other = 0;
  for (const TCase& C : Cases) {
    const std::vector<uint8_t> D = Datagram(C.SecondByte, C.Length);
    EXPECT_EQ(F.Check(1, D.data(), static_cast<uint32_t>(D.size())), C.Verdict)
        << int(C.SecondByte) << " in " << C.Length << " bytes";
    Rtcp += C.Verdict == V::Rtcp;
    Other += C.Verdict == V::OtherPayloadType;
  }
  EXPECT_EQ(F.RtcpCount(), Rtcp);
  EXPECT_EQ(F.OtherPayloadTypeCount(), Other);

  F.SetPayloadType(0);
  const std::vector<uint8_t> Alaw = Datagram(8), Mulaw = Datagram(0);
  EXPECT_EQ(F.Check(1, Mulaw.data(), 172), V::Play) << "the configured type is what plays";
  EXPECT_EQ(F.Check(1, Alaw.data(), 172), V::OtherPayloadType);

  // A type in RTCP's range is still told apart by the marker's place.
  F.SetPayloadType(72);
  const std::vector<uint8_t> Plain72 = Datagram(72), Marked72 = Datagram(200);
  EXPECT_EQ(F.Check(1, Plain72.data(), 172), V::Play);
  EXPECT_EQ(F.Check(1, Marked72.data(), 172), V::Rtcp) << "RFC 5761 keeps 64 to 95 out of RTP when multiplexing";
}

TEST(RtpPayloadFilter, AForeignTypeIsLoggedOncePerSourceWhenDoLogIsOn) {
  TestSupport::TLogCapture Log;
  ResetStartValues();
  DoLog = true;
  TRtpPayloadFilter F;
  const std::vector<uint8_t> Cn = Datagram(13), Dyn = Datagram(96);
  for (int I = 0; I < 5; ++I) {
    F.Check(3, Cn.data(), 172);
    F.Check(3, Dyn.data(), 172);
    F.Check(4, Dyn.data(), 172);
  }
  F.Forget(3);
  F.Check(3, Dyn.data(), 172);  // a new sender with the old one's id
  DoLog = false;
  F.Check(5, Dyn.data(), 172);
  EXPECT_EQ(F.OtherPayloadTypeCount(), 17u);
  EXPECT_EQ(Log.Lines(), (std::vector<std::string>{"RTP PAYLOAD TYPE 13 NOT PLAYED: [ID=3] (PayloadType=8)",
                                                   "RTP PAYLOAD TYPE 96 NOT PLAYED: [ID=4] (PayloadType=8)",
                                                   "RTP PAYLOAD TYPE 96 NOT PLAYED: [ID=3] (PayloadType=8)"}));
  ResetStartValues();
}

}  // namespace
