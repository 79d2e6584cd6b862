// The encrypted call through the real program: keys that cannot work refuse
// the start without showing themselves; Debian's GStreamer (srtpenc, srtpdec:
// libsrtp underneath) talks SRTP with the bridge both ways, and every byte of
// audio arrives exact; a wrong key or plain RTP is heard as nothing and
// counted; and no datagram on the wire carries the audio's bytes (tshark reads
// them as RTP, the payloads as they travelled). With [Rtcp] too, GStreamer's
// rtpbin exchanges SRTCP reports with the bridge.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unordered_set>

#include "e2e_support_posix.h"
#include "pcap_writer.h"
#include "quality/rtcp_packet.h"

namespace {

using namespace std::chrono_literals;
using namespace E2E;

// Master key and salt of each direction: the bytes (hex, as GStreamer takes
// them) and the inline form of the INI file.
struct TKey {
  const char* Base64;
  const char* Hex;
};
const TKey BridgeSends{"EBceJSwzOkFIT1ZdZGtyeYCHjpWco6qxuL/GzdTb",
                       "10171e252c333a41484f565d646b727980878e959ca3aab1b8bfc6cdd4db"};
const TKey BridgeReceives{"gIuWoay3ws3Y4+75BA8aJTA7RlFcZ3J9iJOeqbS/",
                          "808b96a1acb7c2cdd8e3eef9040f1a25303b46515c67727d88939ea9b4bf"};
const TKey Wrong{"Mzg9QkdMUVZbYGVqb3R5foOIjZKXnKGmq7C1ur/E",
                 "33383d42474c51565b60656a6f74797e83888d92979ca1a6abb0b5babfc4"};

std::string SrtpSection(const std::string& Lines) { return "[Srtp]\r\n" + Lines; }

std::string Keys() {
  return SrtpSection(std::string("SendKey=inline:") + BridgeSends.Base64 + "\r\nReceiveKey=inline:" +
                     BridgeReceives.Base64 + "\r\n");
}

// ---- keys that cannot work -------------------------------------------------------

// Each refuses the start with exit code 3 and one line naming the key, whatever
// DoLog says; the console says what it always says; the key is nowhere.
TEST(SrtpProgram, KeysThatCannotWorkRefuseTheStartAndNeverShowThemselves) {
  const std::string Long = std::string(BridgeSends.Base64) + "Zm9vYmFy";  // 36 bytes
  const struct {
    std::string Section;
    std::string Line;
  } Cases[] = {
      {"SendKey=inline:" + Long + "\r\nReceiveKey=inline:" + BridgeReceives.Base64 + "\r\n",
       "Error: [Srtp] SendKey: 36 bytes, AES_CM_128_HMAC_SHA1_80 takes 30 (16 of key, 14 of salt)"},
      {"Suite=AEAD_AES_128_GCM\r\nSendKey=inline:" + std::string(BridgeSends.Base64) +
           "\r\nReceiveKey=inline:QEFCQ0RFRkdISUpLTE1OT1BRUlNUVVZXWFlaWw==\r\n",  // 28 bytes: right for GCM
       "Error: [Srtp] SendKey: 30 bytes, AEAD_AES_128_GCM takes 28 (16 of key, 12 of salt)"},
      {"SendKey=inline:" + std::string(BridgeSends.Base64) + "\r\nReceiveKey=inline:" +
           std::string(BridgeReceives.Base64).substr(0, 39) + "#\r\n",
       "Error: [Srtp] ReceiveKey: not base64"},
      {"Suite=AES_256_CM_HMAC_SHA1_80\r\nSendKey=inline:" + std::string(BridgeSends.Base64) + "\r\n",
       "Error: [Srtp] Suite=AES_256_CM_HMAC_SHA1_80: not a suite (AES_CM_128_HMAC_SHA1_80, AES_CM_128_HMAC_SHA1_32 or "
       "AEAD_AES_128_GCM)"},
      {"SendKey=inline:" + std::string(BridgeSends.Base64) + "\r\n",
       "Error: [Srtp] ReceiveKey: missing, set SendKey and ReceiveKey, or KeyFile"},
      {"KeyFile=srtp.key\r\n", "Error: [Srtp] KeyFile=srtp.key: cannot be read"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Line);
    std::string Settings = Ini(FreePort(SOCK_DGRAM), 9, FreePort(SOCK_STREAM), "", "") + SrtpSection(C.Section);
    Settings.replace(Settings.find("DoLog=1"), 7, "DoLog=0");
    TBridge B(Settings);
    if (C.Line.find("KeyFile") != std::string::npos) {
      // There, but not for this account: the file the service would be refused.
      TestSupport::WriteFile(B.Dir() / "srtp.key", "SendKey=inline:" + std::string(BridgeSends.Base64) + "\r\n");
      std::filesystem::permissions(B.Dir() / "srtp.key", std::filesystem::perms::none);
      if (TestSupport::ReadFile(B.Dir() / "srtp.key").size() > 0) {
        // Root reads any file: a missing one serves the same.
        std::filesystem::remove(B.Dir() / "srtp.key");
      }
    }
    B.Start();
    EXPECT_EQ(B.Wait(5s), 3) << "the bridge could not start";
    const auto Log = B.LogLines();
    EXPECT_EQ(Log, (std::vector<std::string>{C.Line, "Exception in main proceding: TAVEK Vantelo service failed to start"}));
    const std::string Console = B.Console();
    const auto ConsoleLines = TestSupport::SplitCrLf(Console);
    ASSERT_FALSE(ConsoleLines.empty());
    EXPECT_EQ(ConsoleLines.back(), "TAVEK Vantelo service stopped as application successfully") << "as always";
    for (const std::string& Text : Log)
      for (const char* Key : {BridgeSends.Base64, BridgeReceives.Base64})
        EXPECT_EQ(Text.find(std::string(Key).substr(0, 16)), std::string::npos) << Text;
    for (const char* Key : {BridgeSends.Base64, BridgeReceives.Base64})
      EXPECT_EQ(Console.find(std::string(Key).substr(0, 16)), std::string::npos) << Console;
  }
}

// ---- a real SRTP peer ---------------------------------------------------------------

// The caps srtpdec needs for the stream it is to open: its SSRC and rollover
// counter, and the key.
std::string SrtpCaps(uint32_t Ssrc, uint32_t Roc, const char* KeyHex) {
  return "caps=application/x-srtp,media=(string)audio,clock-rate=(int)8000,encoding-name=(string)PCMA,"
         "payload=(int)8,ssrc=(uint)" +
         std::to_string(Ssrc) + ",roc=(uint)" + std::to_string(Roc) + ",srtp-key=(buffer)" + KeyHex +
         ",srtp-cipher=(string)aes-128-icm,srtp-auth=(string)hmac-sha1-80,srtcp-cipher=(string)aes-128-icm,"
         "srtcp-auth=(string)hmac-sha1-80";
}

// A pipeline that sends File (A-law, 8000 a second) as RTP in 20 ms packets, in
// real time, to each of Clients; with KeyHex as SRTP under that key.
std::vector<std::string> Talker(const std::string& Gst, const std::string& File, const char* KeyHex,
                                const std::string& Clients) {
  std::vector<std::string> A{Gst, "filesrc", "location=" + File, "!", "rawaudioparse", "use-sink-caps=false",
                             "format=alaw", "sample-rate=8000", "num-channels=1", "!", "rtppcmapay",
                             "min-ptime=20000000", "max-ptime=20000000", "!"};
  if (KeyHex)
    for (const std::string& Part : {std::string("srtpenc"), "key=" + std::string(KeyHex), std::string("rtp-cipher=aes-128-icm"),
                                     std::string("rtp-auth=hmac-sha1-80"), std::string("rtcp-cipher=aes-128-icm"),
                                     std::string("rtcp-auth=hmac-sha1-80"), std::string("!")})
      A.push_back(Part);
  for (const std::string& Part : {std::string("multiudpsink"), "clients=" + Clients, std::string("sync=true")})
    A.push_back(Part);
  return A;
}

// Every 8 bytes in a row of some audio, to look for in a datagram: the audio
// is random, so a match by chance in a few thousand bytes of cipher text is out
// of the question.
class TAudioPieces {
public:
  explicit TAudioPieces(const Bytes& Audio) {
    for (size_t I = 0; I + 8 <= Audio.size(); ++I) FPieces.insert(Audio.substr(I, 8));
  }
  bool In(const Bytes& Text) const {
    for (size_t I = 0; I + 8 <= Text.size(); ++I)
      if (FPieces.count(Text.substr(I, 8))) return true;
    return false;
  }

private:
  std::unordered_set<Bytes> FPieces;
};

// The payloads of the captured datagrams as tshark reads them (RTP on Port).
std::vector<Bytes> TsharkPayloads(const std::filesystem::path& Dir, const std::vector<Bytes>& Datagrams,
                                  uint16_t Port) {
  TestSupport::TPcapWriter Pcap(Port);
  for (const Bytes& D : Datagrams) Pcap.Add(reinterpret_cast<const uint8_t*>(D.data()), static_cast<uint32_t>(D.size()));
  TestSupport::WriteFile(Dir / "srtp.pcap", Pcap.Bytes());
  const std::string Command = "tshark -r '" + (Dir / "srtp.pcap").string() + "' -d udp.port==" +
                              std::to_string(Port) + ",rtp -T fields -e rtp.payload > '" +
                              (Dir / "payloads.txt").string() + "' 2> '" + (Dir / "tshark.err").string() + "'";
  EXPECT_EQ(std::system(Command.c_str()), 0) << "tshark failed or is missing (scripts/install-deps.sh installs it):\n"
                                             << TestSupport::ReadFile(Dir / "tshark.err");
  std::vector<Bytes> Payloads;
  const std::string Text = TestSupport::ReadFile(Dir / "payloads.txt");
  size_t From = 0;
  while (From < Text.size()) {
    size_t End = Text.find('\n', From);
    if (End == std::string::npos) End = Text.size();
    Bytes P;
    for (size_t I = From; I + 1 < End; I += 2) P += static_cast<char>(std::stoi(Text.substr(I, 2), nullptr, 16));
    Payloads.push_back(P);
    From = End + 1;
  }
  return Payloads;
}

uint16_t SequenceOf(const Bytes& P) {
  return static_cast<uint16_t>(static_cast<uint8_t>(P[2]) << 8 | static_cast<uint8_t>(P[3]));
}

// Both ways against GStreamer: the peer's audio reaches the earpiece and the
// received raw file exact, the bridge's microphone reaches GStreamer exact,
// and the datagrams of both directions carry none of it in the clear.
TEST(SrtpProgram, GStreamerTalksSrtpWithTheBridgeBothWaysExact) {
  const std::string Gst = FindOnPath("gst-launch-1.0");
  ASSERT_FALSE(Gst.empty()) << "gst-launch-1.0 is missing (scripts/install-deps.sh installs gstreamer1.0-tools)";
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM), ListenerPort = FreePort(SOCK_DGRAM);
  TBridge B(Ini(Port, 9, Tcp, "SaveWavData=1\r\nDisconnectTimeOut=30000\r\n",
                "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear|file=ear.raw\r\n") +
            Keys());
  const Bytes Mic = MicFile(31), Peer = MicFile(32, 24000);  // the peer talks for 3 s
  TestSupport::WriteFile(B.Dir() / "mic.raw", Mic);
  TestSupport::WriteFile(B.Dir() / "peer.alaw", Peer);
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  EXPECT_TRUE(B.WaitForLog("SRTP on: AES_CM_128_HMAC_SHA1_80, Required=1", 1s));

  // The listening side announces itself; its first packets tell the stream's
  // SSRC and rollover counter that srtpdec must be given, and are the capture
  // of what the bridge sends.
  std::vector<Bytes> Wire;
  uint32_t Ssrc = 0, Roc = 0;
  {
    TSocket Listener(SOCK_DGRAM, ListenerPort);
    Listener.SetTimeout(2s);
    Listener.SendTo(Port, Bytes(20, '\0'));
    for (int I = 0; I < 25 || SequenceOf(Wire.back()) > 65000; ++I) {
      Bytes P = Listener.Receive();
      ASSERT_EQ(P.size(), 182u) << "a packet of 20 ms and its 10-byte tag";
      if (!Wire.empty() && SequenceOf(P) < SequenceOf(Wire.back())) ++Roc;
      Ssrc = SsrcOf(P);
      Wire.push_back(std::move(P));
    }
  }
  const std::string Dir = B.Dir().string(), Heard = Dir + "/heard.alaw";
  TProcess Listener({Gst, "-e", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(ListenerPort),
                     SrtpCaps(Ssrc, Roc, BridgeSends.Hex), "!", "srtpdec", "!", "rtppcmadepay", "!", "filesink",
                     "location=" + Heard},
                    Dir + "/gst_listener.out");
  ASSERT_TRUE(Listener.Started());
  ASSERT_TRUE(TestSupport::WaitUntil([&] {
    const int Fd = BoundSocket(SOCK_DGRAM, ListenerPort, false);
    if (Fd >= 0) close(Fd);
    return Fd < 0;
  })) << TestSupport::ReadFile(Dir + "/gst_listener.out");

  // The talking side sends to the bridge and, the same datagrams, to the capture.
  TSocket Capture(SOCK_DGRAM);
  Capture.SetTimeout(2s);
  TProcess Talking(Talker(Gst, Dir + "/peer.alaw", BridgeReceives.Hex,
                          "127.0.0.1:" + std::to_string(Port) + ",127.0.0.1:" + std::to_string(Capture.Port())),
                   Dir + "/gst_talker.out");
  ASSERT_TRUE(Talking.Started());
  std::vector<Bytes> FromPeer;
  for (Bytes P = Capture.Receive(); !P.empty(); P = Capture.Receive()) {
    FromPeer.push_back(P);
    if (FromPeer.size() == 150) break;
  }
  EXPECT_EQ(Talking.Wait(15s), 0) << TestSupport::ReadFile(Dir + "/gst_talker.out");
  TestSupport::WaitUntil([&] { return RawFile(B, "RawRecv_").size() >= Peer.size(); });
  Listener.Signal(SIGINT);  // -e: end of stream, the file complete
  EXPECT_EQ(Listener.Wait(5s), 0) << TestSupport::ReadFile(Dir + "/gst_listener.out");
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);

  EXPECT_EQ(FromPeer.size(), 150u) << "3 s of 20 ms packets";
  EXPECT_EQ(RawFile(B, "RawRecv_"), Peer) << "every packet of the peer decrypted, once, in order";
  EXPECT_TRUE(PiecesInOrder(Peer, TestSupport::ReadFile(B.Dir() / "ear.raw"), 160)) << "and played";
  const Bytes FromBridge = TestSupport::ReadFile(Heard);
  EXPECT_GE(FromBridge.size(), 8000u) << "a second or more of the bridge's microphone at GStreamer";
  EXPECT_NE(RawFile(B, "RawSent_").find(FromBridge), Bytes::npos) << "exact, in order, nothing missing";
  EXPECT_NE(Mic.find(FromBridge.substr(0, 4000)), Bytes::npos) << "it is the microphone's";

  Wire.insert(Wire.end(), FromPeer.begin(), FromPeer.end());
  const std::vector<Bytes> Payloads = TsharkPayloads(B.Dir(), Wire, Port);
  std::printf("GStreamer decrypted %zu bytes of the bridge's microphone, the bridge %zu of GStreamer's; tshark read "
              "%zu of %zu protected datagrams\n",
              FromBridge.size(), RawFile(B, "RawRecv_").size(), Payloads.size(), Wire.size());
  ASSERT_EQ(Payloads.size(), Wire.size()) << "every datagram read as RTP";
  // All that was said, DoLog on: of the keys nothing.
  std::string Said = B.Console();
  for (const std::string& Line : B.LogLines()) Said += Line + "\n";
  for (const TKey& K : {BridgeSends, BridgeReceives}) {
    EXPECT_EQ(Said.find(std::string(K.Base64).substr(0, 16)), std::string::npos);
    EXPECT_EQ(Said.find(std::string(K.Hex).substr(0, 16)), std::string::npos);
  }

  const TAudioPieces MicPieces(Mic), PeerPieces(Peer);
  for (size_t I = 0; I < Payloads.size(); ++I) {
    EXPECT_EQ(Payloads[I].size(), 170u) << "audio and tag as they travelled";
    EXPECT_FALSE(MicPieces.In(Payloads[I])) << "datagram " << I << " shows the microphone";
    EXPECT_FALSE(PeerPieces.In(Payloads[I])) << "datagram " << I << " shows the peer's audio";
  }
  EXPECT_TRUE(MicPieces.In(FromBridge.substr(0, 160))) << "the check itself sees audio where there is some";
}

// The sample of a counter with one label on the page; -1 when absent.
long SampleOf(const Bytes& Page, const std::string& Sample) {
  const size_t At = Page.find("\n" + Sample + " ");
  return At == Bytes::npos ? -1 : std::stol(Page.substr(At + Sample.size() + 2));
}

// A peer with another key, and one that speaks plain RTP: nothing of either is
// played, every packet is counted as an authentication failure, and each
// sender is logged once.
TEST(SrtpProgram, AWrongKeyAndPlainRtpArePlayedAsNothingAndCounted) {
  const std::string Gst = FindOnPath("gst-launch-1.0");
  ASSERT_FALSE(Gst.empty()) << "gst-launch-1.0 is missing (scripts/install-deps.sh installs gstreamer1.0-tools)";
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM), MetricsPort = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "SaveWavData=1\r\nDisconnectTimeOut=30000\r\n",
                "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n") +
            Keys() + "[Metrics]\r\nListen=127.0.0.1:" + std::to_string(MetricsPort) + "\r\n");
  TestSupport::WriteFile(B.Dir() / "peer.alaw", MicFile(33, 8000));  // a second each
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  const std::string Dir = B.Dir().string(), To = "127.0.0.1:" + std::to_string(Port);
  TProcess WrongKey(Talker(Gst, Dir + "/peer.alaw", Wrong.Hex, To), Dir + "/gst_wrong.out");
  TProcess Plain(Talker(Gst, Dir + "/peer.alaw", nullptr, To), Dir + "/gst_plain.out");
  EXPECT_EQ(WrongKey.Wait(15s), 0) << TestSupport::ReadFile(Dir + "/gst_wrong.out");
  EXPECT_EQ(Plain.Wait(15s), 0) << TestSupport::ReadFile(Dir + "/gst_plain.out");
  Bytes Page;
  EXPECT_TRUE(TestSupport::WaitUntil([&] {
    Page = "\n" + Body(HttpGet(MetricsPort, "/metrics"));
    return SampleOf(Page, "brenvic_rtp_datagrams_received_total") >= 100;
  })) << Page;
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);

  EXPECT_EQ(SampleOf(Page, "brenvic_rtp_packets_rejected_total{reason=\"srtp_auth\"}"), 100) << Page;
  TestSupport::WriteFile(B.Dir() / "page.txt", Page.substr(1));
  const std::string Check = "/usr/bin/promtool check metrics < " + (B.Dir() / "page.txt").string() + " > " +
                            (B.Dir() / "promtool.out").string() + " 2>&1";
  EXPECT_EQ(std::system(Check.c_str()), 0) << TestSupport::ReadFile(B.Dir() / "promtool.out");
  EXPECT_EQ(SampleOf(Page, "brenvic_rtp_packets_accepted_total"), 0);
  EXPECT_EQ(SampleOf(Page, "brenvic_srtp_datagrams_total{kind=\"srtp\"}"), 0);
  EXPECT_EQ(RawFile(B, "RawRecv_"), "") << "nothing decrypted, nothing recorded";
  const Bytes Ear = TestSupport::ReadFile(B.Dir() / "ear.raw");
  EXPECT_EQ(Ear.find_first_not_of(static_cast<char>(0xD5)), Bytes::npos) << "silence at most";
  EXPECT_EQ(CountContaining(B.LogLines(), "SRTP REFUSED: "), 2u) << "each sender once";
  EXPECT_EQ(CountContaining(B.LogLines(), "] authentication failed (another key, or plain RTP)"), 2u);
}

// The reports encrypted both ways, port mode, against rtpbin behind srtpenc and
// srtpdec: GStreamer's SRTCP reports about our stream reach the call record
// (its loss of our audio, the round trip), and no report of ours shows its
// CNAME on the wire. A udpsink cannot receive, so the test stands between:
// GStreamer sends to its sockets X and X + 1, which pass it on to the bridge
// (the bridge's peer is X), and what the bridge sends them goes on to
// GStreamer's own ports G and G + 1.
TEST(SrtpProgram, GStreamerExchangesSrtcpReportsWithTheBridge) {
  const std::string Gst = FindOnPath("gst-launch-1.0");
  ASSERT_FALSE(Gst.empty()) << "gst-launch-1.0 is missing (scripts/install-deps.sh installs gstreamer1.0-tools)";
  const uint16_t P = FreePortPair(), Tcp = FreePort(SOCK_STREAM), X = FreePortPair(), G = FreePortPair();
  const std::string Cname = "desk-cname-on-the-wire";
  TBridge B(Ini(P, 9, Tcp,
                "DisconnectTimeOut=60000\r\n[Quality]\r\nCallRecords=1\r\n[Rtcp]\r\nMode=port\r\nIntervalMs=1000\r\nCname=" +
                    Cname + "\r\n",
                "Capture1=Test Mic|tone=1000\r\nPlayback1=Test Ear\r\n") +
            Keys());
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTCP sender/receiver processor -> started", 5s));

  // X becomes the peer; the bridge's packets tell the SSRC and ROC srtpdec needs.
  TSocket Rtp(SOCK_DGRAM, X), Rtcp(SOCK_DGRAM, static_cast<uint16_t>(X + 1));
  Rtp.SetTimeout(2s);
  Rtp.SendTo(P, Bytes(20, '\0'));
  uint32_t Ssrc = 0, Roc = 0;
  Bytes Last;
  for (int I = 0; I < 25 || SequenceOf(Last) > 65000; ++I) {
    Bytes D = Rtp.Receive();
    ASSERT_FALSE(D.empty());
    if (IsRtcpDatagram(reinterpret_cast<const uint8_t*>(D.data()), D.size())) continue;
    if (!Last.empty() && SequenceOf(D) < SequenceOf(Last)) ++Roc;
    Ssrc = SsrcOf(D);
    Last = std::move(D);
  }

  std::vector<Bytes> Ours, Theirs;  // the RTCP each side sent
  std::atomic<bool> Passing{true};
  std::thread Passer([&] {
    Rtp.SetTimeout(5ms);
    Rtcp.SetTimeout(5ms);
    uint16_t From = 0;
    while (Passing) {
      if (const Bytes D = Rtp.Receive(&From); !D.empty()) Rtp.SendTo(From == P ? G : P, D);
      if (const Bytes D = Rtcp.Receive(&From); !D.empty()) {
        (From == P + 1 ? Ours : Theirs).push_back(D);
        Rtcp.SendTo(From == P + 1 ? G + 1 : P + 1, D);
      }
    }
  });
  TJoin PasserJoin{Passing, Passer};

  const std::string Caps = SrtpCaps(Ssrc, Roc, BridgeSends.Hex);
  std::string RtcpCaps = Caps;
  RtcpCaps.replace(RtcpCaps.find("x-srtp"), 6, "x-srtcp");
  auto To = [](uint16_t Port) {
    return std::vector<std::string>{"udpsink", "host=127.0.0.1", "port=" + std::to_string(Port), "sync=false",
                                    "async=false"};
  };
  std::vector<std::string> Args = {Gst, "-e", "rtpbin", "name=rb", "srtpenc", "name=enc",
                                   "key=" + std::string(BridgeReceives.Hex), "rtp-cipher=aes-128-icm",
                                   "rtp-auth=hmac-sha1-80", "rtcp-cipher=aes-128-icm", "rtcp-auth=hmac-sha1-80",
                                   "srtpdec", "name=dec",
                                   "audiotestsrc", "freq=600", "is-live=true", "samplesperbuffer=160", "!",
                                   "audio/x-raw,rate=8000,channels=1", "!", "alawenc", "!", "rtppcmapay",
                                   "max-ptime=20000000", "!", "rb.send_rtp_sink_0",
                                   "rb.send_rtp_src_0", "!", "enc.rtp_sink_0", "rb.send_rtcp_src_0", "!",
                                   "enc.rtcp_sink_0", "enc.rtp_src_0", "!"};
  for (const std::string& A : To(X)) Args.push_back(A);
  Args.insert(Args.end(), {"enc.rtcp_src_0", "!"});
  for (const std::string& A : To(X + 1)) Args.push_back(A);
  Args.insert(Args.end(), {"udpsrc", "address=127.0.0.1", "port=" + std::to_string(G), Caps, "!", "dec.rtp_sink",
                           "dec.rtp_src", "!", "rb.recv_rtp_sink_0", "udpsrc", "address=127.0.0.1",
                           "port=" + std::to_string(G + 1), RtcpCaps, "!", "dec.rtcp_sink", "dec.rtcp_src", "!",
                           "rb.recv_rtcp_sink_0", "rb.", "!", "fakesink", "async=false"});
  const std::string Dir = B.Dir().string();
  TProcess GStreamer(Args, Dir + "/gst.out");
  ASSERT_TRUE(GStreamer.Started());
  std::this_thread::sleep_for(10s);  // two of GStreamer's reports (every 5 s), nothing to wait for
  HangUp(GStreamer, B);
  Passing = false;
  Passer.join();

  std::string Record;
  for (const std::string& L : B.LogLines())
    if (L.rfind("CALL QUALITY: [IP=127.0.0.1,Port=" + std::to_string(X) + "]", 0) == 0) Record = L;
  std::printf("%zu reports of ours, %zu of GStreamer's\n%s\n", Ours.size(), Theirs.size(), Record.c_str());
  ASSERT_FALSE(Record.empty()) << TestSupport::ReadFile(Dir + "/gst.out");
  for (const char* Figure : {" rtt=", " tx_loss="}) {
    EXPECT_NE(Record.find(Figure), std::string::npos) << Figure;
    EXPECT_EQ(Record.find(std::string(Figure) + "-"), std::string::npos) << Figure << " measured";
  }
  // Both sides' RTCP is SRTCP: the E flag before the 10-byte tag.
  ASSERT_FALSE(Theirs.empty());
  ASSERT_GE(Ours.size(), 5u);
  for (const std::vector<Bytes>* Side : {&Ours, &Theirs})
    for (const Bytes& R : *Side) EXPECT_TRUE(static_cast<uint8_t>(R[R.size() - 14]) & 0x80);

  // tshark reads the captured reports and shows no CNAME; of a plain report
  // added behind them it shows the CNAME.
  TestSupport::TPcapWriter Pcap(static_cast<uint16_t>(X + 1));
  std::vector<uint8_t> Plain(512);
  Plain.resize(BuildRtcpCompound({Ssrc, std::nullopt, {}, Cname, false, ""}, Plain));
  for (const Bytes& R : Ours) Pcap.Add(reinterpret_cast<const uint8_t*>(R.data()), static_cast<uint32_t>(R.size()));
  Pcap.Add(Plain.data(), static_cast<uint32_t>(Plain.size()));
  TestSupport::WriteFile(Dir + "/srtcp.pcap", Pcap.Bytes());
  const std::string Command = "tshark -r '" + Dir + "/srtcp.pcap' -V -d udp.port==" + std::to_string(X + 1) +
                              ",rtcp > '" + Dir + "/tshark.txt' 2>&1";
  ASSERT_EQ(std::system(Command.c_str()), 0) << TestSupport::ReadFile(Dir + "/tshark.txt");
  const std::string Decoded = TestSupport::ReadFile(Dir + "/tshark.txt");
  const size_t First = Decoded.find(Cname);
  ASSERT_NE(First, std::string::npos) << "the plain report's CNAME";
  EXPECT_GT(First, Decoded.rfind("\nFrame ")) << "only in the last frame, the plain one";
}

}  // namespace
