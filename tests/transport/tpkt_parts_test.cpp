// The library's parameter grammar and TPKT framing, on their own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_params.h"
#include "tpkt_framing.h"

namespace {

using namespace TPKT;

TEST(ServerParams, Grammar) {
  struct TCase {
    const char* Text;
    bool Valid;
    const char* Address;
    bool NoTPKT;
    TLayer Layer;
  } Cases[] = {
      {"0.0.0.0", true, "0.0.0.0", false, TLayer::Tcp},
      {"127.0.0.1,LAYER=UDP", true, "127.0.0.1", false, TLayer::Udp},
      {"0.0.0.0,NOTPKT=YES", true, "0.0.0.0", true, TLayer::Tcp},
      {"10.0.0.1,NOTPKT=YES,LAYER=TCP", true, "10.0.0.1", true, TLayer::Tcp},
      {"[::1],LAYER=UDP", true, "::1", false, TLayer::Udp},
      {"::", true, "::", false, TLayer::Tcp},
      {"", true, "0.0.0.0", false, TLayer::Tcp},
      {"1.2.3.4, notpkt = yes", true, "1.2.3.4", true, TLayer::Tcp},
      {"1.2.3.4,LAYER=SCTP", false, "", false, TLayer::Tcp},
      {"1.2.3.4,NOTPKT=MAYBE", false, "", false, TLayer::Tcp},
      {"1.2.3.4,NOTPKT", false, "", false, TLayer::Tcp},
      {"1.2.3.4,COLOR=RED", false, "", false, TLayer::Tcp},
      {"1.2.3.4,", false, "", false, TLayer::Tcp},
  };
  for (const auto& C : Cases) {
    TServerParams P;
    ASSERT_EQ(ParseServerParams(C.Text, P), C.Valid) << C.Text;
    if (!C.Valid) continue;
    EXPECT_EQ(P.Address, C.Address) << C.Text;
    EXPECT_EQ(P.NoTPKT, C.NoTPKT) << C.Text;
    EXPECT_EQ(P.Layer, C.Layer) << C.Text;
  }
}

std::string Packet(const std::string& Payload) {
  uint8_t H[HeaderSize];
  EXPECT_TRUE(EncodeHeader(Payload.size(), H));
  return std::string(reinterpret_cast<char*>(H), HeaderSize) + Payload;
}

// Feeds Stream in pieces of Step bytes and collects the payloads.
bool FeedInPieces(const std::string& Stream, size_t Step, std::vector<std::string>& Out) {
  TTpktReader R;
  for (size_t Pos = 0; Pos < Stream.size(); Pos += Step) {
    const std::string Piece = Stream.substr(Pos, Step);
    const bool Ok = R.Feed(reinterpret_cast<const uint8_t*>(Piece.data()), Piece.size(),
                           [&](const uint8_t* D, size_t N) {
                             Out.emplace_back(reinterpret_cast<const char*>(D), N);
                             return true;
                           });
    if (!Ok) return false;
  }
  return true;
}

TEST(TpktFraming, HeaderAndPiecesOfEverySize) {
  uint8_t H[HeaderSize];
  ASSERT_TRUE(EncodeHeader(0x1234 - 4, H));
  EXPECT_EQ(H[0], 3);
  EXPECT_EQ(H[1], 0);
  EXPECT_EQ(H[2], 0x12);
  EXPECT_EQ(H[3], 0x34);
  EXPECT_TRUE(EncodeHeader(MaxPayloadSize, H));
  EXPECT_FALSE(EncodeHeader(MaxPayloadSize + 1, H));

  const std::string Big(70000 % MaxPayloadSize + 1000, 'b');
  const std::string Stream = Packet("one") + Packet("") + Packet(std::string(300, 'x')) + Packet(Big) + Packet("z");
  for (size_t Step : {size_t(1), size_t(2), size_t(3), size_t(4), size_t(5), size_t(7), size_t(4096), Stream.size()}) {
    std::vector<std::string> Out;
    ASSERT_TRUE(FeedInPieces(Stream, Step, Out)) << Step;
    // The empty packet carries nothing to deliver.
    ASSERT_EQ(Out.size(), 4u) << Step;
    EXPECT_EQ(Out[0], "one");
    EXPECT_EQ(Out[1], std::string(300, 'x'));
    EXPECT_EQ(Out[2], Big);
    EXPECT_EQ(Out[3], "z");
  }
}

TEST(TpktFraming, ForeignStreamsAreRefused) {
  for (const std::string& Bad : {std::string("GET / HTTP/1.0\r\n"), std::string("\x03\x00\x00\x02xx", 6),
                                Packet("ok") + std::string("\x04\x00\x00\x05x", 5)}) {
    for (size_t Step : {size_t(1), size_t(3), Bad.size()}) {
      std::vector<std::string> Out;
      EXPECT_FALSE(FeedInPieces(Bad, Step, Out)) << Step;
    }
  }
}

}  // namespace
