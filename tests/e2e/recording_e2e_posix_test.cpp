// The recording stream of the real bridge, as a call recorder sees it: a
// scripted peer that pauses (hold, silence suppression, a stall) and repeats
// datagrams, a microphone of known bytes, and a TCP client that notes when
// each frame arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "e2e_support_posix.h"

namespace {

using namespace std::chrono_literals;
using namespace E2E;
using Clock = std::chrono::steady_clock;
using TestSupport::ReadFile;

constexpr char Silence = '\xD5';
constexpr size_t Frame = 2000;

// Random A-law bytes without the silence code, so that silence in the stream
// is always filler.
Bytes Audio(uint32_t Seed, size_t Size) {
  Bytes B = MicFile(Seed, Size);
  for (char& C : B)
    if (C == Silence) C = 0x55;
  return B;
}

// A client on the bridge's TCP stream that keeps each frame with the time it
// arrived, on a thread of its own.
class TRecorder {
public:
  explicit TRecorder(uint16_t Port) : FSocket(SOCK_STREAM) {
    EXPECT_TRUE(FSocket.Connect(Port));
    FSocket.SetTimeout(50ms);
    FThread = std::thread([this] {
      Bytes Pending;
      while (!FStop) {
        Pending += FSocket.Receive();
        for (; Pending.size() >= Frame; Pending.erase(0, Frame)) {
          FFrames.push_back(Pending.substr(0, Frame));
          FArrivals.push_back(Clock::now());
        }
      }
    });
  }
  ~TRecorder() { Stop(); }
  void Stop() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
  }
  const std::vector<Bytes>& Frames() const { return FFrames; }
  const std::vector<Clock::time_point>& Arrivals() const { return FArrivals; }

private:
  TSocket FSocket;
  std::atomic<bool> FStop{false};
  std::vector<Bytes> FFrames;                 // written by the thread until Stop
  std::vector<Clock::time_point> FArrivals;  // the same
  std::thread FThread;
};

std::string RecordingIni(uint16_t Port, uint16_t Tcp, const std::string& Ear) {
  return Ini(Port, 9, Tcp, "SaveWavData=1\r\nDisconnectTimeOut=20000\r\n",
             "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear|" + Ear + "\r\n");
}

TEST(Recording, TheChannelsStayInStepAcrossPausesAndRepeatsAreNeitherPlayedNorSaved) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(RecordingIni(Port, Tcp, "file=ear.raw"));
  const Bytes Mic = Audio(5, 8000 * 40);  // longer than the test: it never loops
  TestSupport::WriteFile(B.Dir() / "mic.raw", Mic);
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  TRecorder Recorder(Tcp);

  // Two seconds of talk, then pauses of 0.3, 1.0 and 3.0 s, each followed by
  // two seconds of talk; every seventh datagram comes twice.
  const std::vector<int> PausesMs = {300, 1000, 3000};
  const Bytes Peer = Audio(6, 160 * 400);
  std::vector<int64_t> SentAtMs;  // each packet's send time from the first
  TSocket Sock(SOCK_DGRAM);
  const auto T0 = Clock::now();
  int64_t At = 0;
  for (size_t Phase = 0; Phase <= PausesMs.size(); ++Phase) {
    if (Phase > 0) At += PausesMs[Phase - 1];
    for (int I = 0; I < 100; ++I, At += 20) {
      std::this_thread::sleep_until(T0 + std::chrono::milliseconds(At));
      const uint16_t Seq = static_cast<uint16_t>(SentAtMs.size());
      const Bytes Packet = RtpPacket(Seq, static_cast<uint32_t>(8 * At), 0x7777, Peer.substr(160u * Seq, 160));
      Sock.SendTo(Port, Packet);
      if (Seq % 7 == 3) Sock.SendTo(Port, Packet);
      SentAtMs.push_back(At);
    }
  }
  std::this_thread::sleep_for(600ms);
  Recorder.Stop();
  B.Signal(SIGINT);
  EXPECT_GE(B.Wait(5s), 0);

  // The received file is exactly the accepted payloads, once each, in order.
  EXPECT_TRUE(RawFile(B, "RawRecv_") == Peer) << RawFile(B, "RawRecv_").size() << " bytes";
  const Bytes Ear = ReadFile(B.Dir() / "ear.raw");
  Bytes Played;
  for (char C : Ear)
    if (C != Silence) Played += C;
  EXPECT_TRUE(PiecesInOrder(Played, Peer, 160)) << "played in order, nothing twice";

  // Frames come at the audio's rate: the microphone flows all the time.
  const auto& Arrivals = Recorder.Arrivals();
  ASSERT_GT(Arrivals.size(), 80u);
  auto LongestGap = 0ms;
  for (size_t I = 1; I < Arrivals.size(); ++I)
    LongestGap = std::max(LongestGap, std::chrono::duration_cast<std::chrono::milliseconds>(Arrivals[I] - Arrivals[I - 1]));
  EXPECT_LE(LongestGap, 250ms);

  // In each frame, pieces of 100 bytes where both halves carry audio: the
  // peer's send time of the received half against the microphone's time of
  // the sent half. Per talk phase, that offset stays where it was.
  std::vector<std::vector<int64_t>> Offsets(PausesMs.size() + 1);
  for (const Bytes& F : Recorder.Frames())
    for (size_t P = 0; P < 1000; P += 100) {
      Bytes R, S;
      for (size_t I = P; I < P + 100; ++I) {
        R += F[2 * I];
        S += F[2 * I + 1];
      }
      if (R.find(Silence) != Bytes::npos || S.find(Silence) != Bytes::npos) continue;
      const size_t InPeer = Peer.find(R), InMic = Mic.find(S);
      if (InPeer == Bytes::npos || InMic == Bytes::npos) continue;  // across a seam
      const size_t Packet = InPeer / 160;
      const int64_t PeerMs = SentAtMs[Packet] + static_cast<int64_t>(InPeer % 160) / 8;
      Offsets[Packet / 100].push_back(PeerMs - static_cast<int64_t>(InMic / 8));
    }
  std::vector<int64_t> Medians;
  for (auto& O : Offsets) {
    ASSERT_GT(O.size(), 20u) << "audio in both halves in every phase";
    std::sort(O.begin(), O.end());
    Medians.push_back(O[O.size() / 2]);
  }
  for (size_t Phase = 1; Phase < Medians.size(); ++Phase)
    EXPECT_LE(std::abs(Medians[Phase] - Medians[0]), 125)
        << "after the pause of " << PausesMs[Phase - 1] << " ms: " << Medians[Phase] << " against " << Medians[0];
}

TEST(Recording, AnEarpieceThatNeverOpensLeavesTheCustomerInTheRecording) {
  for (const std::string Receive : {"", "[Receive]\r\nMode=adaptive\r\n"}) {
    SCOPED_TRACE(Receive.empty() ? "fixed" : "adaptive");
    const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
    TBridge B(Ini(Port, 9, Tcp, "DisconnectTimeOut=20000\r\n" + Receive,
                  "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear|fault=open\r\n"));
    const Bytes Mic = Audio(7, 8000 * 20);
    TestSupport::WriteFile(B.Dir() / "mic.raw", Mic);
    B.Start();
    ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
    TRecorder Recorder(Tcp);
    TSocket Sock(SOCK_DGRAM);
    const Bytes Peer = Audio(8, 160 * 250);
    const auto T0 = Clock::now();
    for (uint16_t Seq = 0; Seq < 250; ++Seq) {  // five seconds
      std::this_thread::sleep_until(T0 + std::chrono::milliseconds(20 * Seq));
      Sock.SendTo(Port, RtpPacket(Seq, 160u * Seq, 0x5151, Peer.substr(160u * Seq, 160)));
    }
    Recorder.Stop();
    B.Signal(SIGINT);
    EXPECT_GE(B.Wait(5s), 0);
    EXPECT_TRUE(HasLine(B.LogLines(), "Sound player processor -> not started"));

    const auto& Frames = Recorder.Frames();
    ASSERT_GE(Frames.size(), 30u) << "about eight frames a second";
    const double Seconds =
        std::chrono::duration<double>(Recorder.Arrivals().back() - Recorder.Arrivals().front()).count();
    EXPECT_NEAR((Frames.size() - 1) / Seconds, 8.0, 1.0);
    Bytes Sent, Received;
    for (const Bytes& F : Frames)
      for (size_t I = 0; I < 1000; ++I) {
        Received += F[2 * I];
        Sent += F[2 * I + 1];
      }
    // The customer's packets are in the recording (a loaded machine may make
    // the adaptive mode conceal one here and there).
    size_t Kept = 0;
    for (size_t At = 0; At + 160 <= Peer.size(); At += 160) Kept += Received.find(Peer.substr(At, 160)) != Bytes::npos;
    EXPECT_GE(Kept, 200u) << "of 250 packets";
    EXPECT_NE(Mic.find(Sent.substr(Sent.size() / 2, 4000)), Bytes::npos) << "the microphone, unbroken";
  }
}

}  // namespace
