// The bridge against an RTP implementation of another make: Debian's GStreamer
// sends a tone to the bridge (audiotestsrc ! alawenc ! rtppcmapay ! udpsink) and
// records what the bridge sends (udpsrc ! rtppcmadepay ! alawdec ! wavenc). Each
// direction carries its own tone, recognised by frequency at the far end.
//
// The bridge answers the endpoints that talk to it. A udpsink cannot receive,
// and a udpsrc sharing its port would share the datagrams by chance, so the
// recording pipeline listens on a port of its own which announces itself with
// one start datagram (as a remote bridge started as client would): from then
// on the bridge has two peers, the GStreamer sender and the recorder.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "e2e_support_posix.h"
#include "platform/g711.h"

namespace {

using namespace std::chrono_literals;
using E2E::FindOnPath;
using E2E::TBridge;
using E2E::TProcess;


// ---- the audio ------------------------------------------------------------------

std::vector<double> DecodeALaw(const std::string& Codes) {
  std::vector<double> S;
  S.reserve(Codes.size());
  for (char C : Codes) S.push_back(Platform::ALawToLinear(static_cast<uint8_t>(C)));
  return S;
}

// The samples of a 16-bit mono PCM WAV file (its data chunk, or what follows
// the chunk's header when the size was never filled in).
std::vector<double> ReadWav16(const std::string& File) {
  std::vector<double> S;
  size_t At = 12;
  while (At + 8 <= File.size()) {
    uint32_t Size = 0;
    std::memcpy(&Size, File.data() + At + 4, 4);
    if (File.compare(At, 4, "data") == 0) {
      const size_t End = Size == 0 ? File.size() : std::min(File.size(), At + 8 + Size);
      for (size_t I = At + 8; I + 1 < End; I += 2) {
        int16_t V;
        std::memcpy(&V, File.data() + I, 2);
        S.push_back(V);
      }
      break;
    }
    At += 8 + Size + (Size & 1);
  }
  return S;
}

// The samples between the first and the last audible one.
std::vector<double> Audible(const std::vector<double>& S) {
  size_t First = 0, Last = S.size();
  while (First < Last && std::fabs(S[First]) < 200) ++First;
  while (Last > First && std::fabs(S[Last - 1]) < 200) --Last;
  return {S.begin() + static_cast<ptrdiff_t>(First), S.begin() + static_cast<ptrdiff_t>(Last)};
}

// The frequency the sign changes give, at 8000 samples per second.
double ZeroCrossingHz(const std::vector<double>& S) {
  size_t Crossings = 0;
  for (size_t I = 1; I < S.size(); ++I) Crossings += (S[I - 1] < 0) != (S[I] < 0);
  return S.size() > 1 ? Crossings / 2.0 / (S.size() / 8000.0) : 0;
}

// The share of a block's energy at Hz (Goertzel), 1 for a pure tone there; the
// median over 100 ms blocks.
double ToneShare(const std::vector<double>& S, double Hz) {
  constexpr size_t Block = 800;
  const double Coeff = 2 * std::cos(2 * M_PI * Hz / 8000);
  std::vector<double> Shares;
  for (size_t From = 0; From + Block <= S.size(); From += Block) {
    double S1 = 0, S2 = 0, Energy = 0;
    for (size_t I = From; I < From + Block; ++I) {
      const double S0 = S[I] + Coeff * S1 - S2;
      S2 = S1;
      S1 = S0;
      Energy += S[I] * S[I];
    }
    const double Power = S1 * S1 + S2 * S2 - Coeff * S1 * S2;
    Shares.push_back(Energy > 0 ? 2 * Power / (Block * Energy) : 0);
  }
  if (Shares.empty()) return 0;
  std::sort(Shares.begin(), Shares.end());
  return Shares[Shares.size() / 2];
}

struct TToneCheck {
  double Seconds, CrossingHz, ShareAtTone, ShareAtOther;
};

TToneCheck Check(const std::vector<double>& Samples, double Tone, double Other) {
  const std::vector<double> S = Audible(Samples);
  return {S.size() / 8000.0, ZeroCrossingHz(S), ToneShare(S, Tone), ToneShare(S, Other)};
}

std::ostream& operator<<(std::ostream& O, const TToneCheck& C) {
  return O << C.Seconds << " s, zero crossings give " << C.CrossingHz << " Hz, energy share at the tone "
           << C.ShareAtTone << ", at the other tone " << C.ShareAtOther;
}

// ---- the test ---------------------------------------------------------------------

TEST(GStreamerPeer, EachSideHearsTheOthersTone) {
  const std::string Gst = E2E::FindOnPath("gst-launch-1.0");
  ASSERT_FALSE(Gst.empty()) << "gst-launch-1.0 is missing (scripts/install-deps.sh installs gstreamer1.0-tools)";
  constexpr double GstTone = 600, BridgeTone = 1000;

  const uint16_t Port = E2E::FreePort(SOCK_DGRAM), Tcp = E2E::FreePort(SOCK_STREAM), RecorderPort = E2E::FreePort(SOCK_DGRAM);
  TBridge B("[Options]\r\nDoLog=1\r\nLocalIP=127.0.0.1\r\nLocalPort=" + std::to_string(Port) +
            "\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=" + std::to_string(Tcp) +
            "\r\nDisconnectTimeOut=30000\r\nRecDeviceID=Test\r\nPlayDeviceID=Test\r\n"
            "[VirtualDevices]\r\nCapture1=Test Mic|tone=" +
            std::to_string(static_cast<int>(BridgeTone)) + "\r\nPlayback1=Test Ear|file=ear.raw\r\n");
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));

  const std::string Dir = B.Dir().string(), Recording = Dir + "/gst.wav";
  const std::string Caps = "caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMA,payload=8";
  TProcess Recorder({Gst, "-e", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(RecorderPort), Caps, "!",
                     "rtppcmadepay", "!", "alawdec", "!", "wavenc", "!", "filesink", "location=" + Recording},
                    Dir + "/gst_recorder.out");
  ASSERT_TRUE(Recorder.Started());
  // Bound once a plain bind of the port fails.
  const bool Bound = TestSupport::WaitUntil([&] {
    const int Fd = E2E::BoundSocket(SOCK_DGRAM, RecorderPort, false);
    if (Fd >= 0) close(Fd);
    return Fd < 0;
  });
  ASSERT_TRUE(Bound) << TestSupport::ReadFile(Dir + "/gst_recorder.out");
  {
    // The announcement, from the recorder's port (shared for this one datagram).
    const int Fd = E2E::BoundSocket(SOCK_DGRAM, RecorderPort, true);
    ASSERT_GE(Fd, 0);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_port = htons(Port);
    To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char Hello[20] = {};
    sendto(Fd, Hello, sizeof(Hello), 0, reinterpret_cast<sockaddr*>(&To), sizeof(To));
    close(Fd);
  }
  ASSERT_TRUE(B.WaitForLog("Port=<" + std::to_string(RecorderPort) + ">]", 3s));

  // Three seconds of tone from GStreamer.
  TProcess Sender({Gst, "audiotestsrc", "freq=" + std::to_string(static_cast<int>(GstTone)), "is-live=true",
                   "samplesperbuffer=160", "num-buffers=150", "!", "audio/x-raw,rate=8000,channels=1", "!", "alawenc",
                   "!", "rtppcmapay", "max-ptime=20000000", "!", "udpsink", "host=127.0.0.1",
                   "port=" + std::to_string(Port)},
                  Dir + "/gst_sender.out");
  ASSERT_TRUE(Sender.Started());
  EXPECT_EQ(Sender.Wait(15s), 0) << TestSupport::ReadFile(Dir + "/gst_sender.out");
  // Until the earpiece has played the whole tone, 150 packets (at most 5 s:
  // the checks below judge what it holds).
  TestSupport::WaitUntil([&] {
    std::error_code Ec;
    const auto Played = std::filesystem::file_size(B.Dir() / "ear.raw", Ec);
    return !Ec && Played >= 150 * 160;
  });
  Recorder.Signal(SIGINT);  // -e: end of stream, so the WAV header is finished
  EXPECT_EQ(Recorder.Wait(5s), 0) << TestSupport::ReadFile(Dir + "/gst_recorder.out");
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(5s), 0);

  const TToneCheck Ear = Check(DecodeALaw(TestSupport::ReadFile(B.Dir() / "ear.raw")), GstTone, BridgeTone);
  const TToneCheck Heard = Check(ReadWav16(TestSupport::ReadFile(Recording)), BridgeTone, GstTone);
  std::printf("bridge earpiece (GStreamer's %g Hz): %s\n", GstTone, testing::PrintToString(Ear).c_str());
  std::printf("GStreamer recording (bridge's %g Hz): %s\n", BridgeTone, testing::PrintToString(Heard).c_str());
  for (const auto& [Name, C, Tone] :
       {std::tuple{"earpiece", Ear, GstTone}, std::tuple{"GStreamer recording", Heard, BridgeTone}}) {
    SCOPED_TRACE(Name);
    EXPECT_GE(C.Seconds, 1.5);
    EXPECT_NEAR(C.CrossingHz, Tone, Tone * 0.03);
    EXPECT_GT(C.ShareAtTone, 0.8);
    EXPECT_LT(C.ShareAtOther, 0.05);
  }
}

}  // namespace
