// The TCP audio mixer with real TCP clients reading its frames.

#include "mixer/tcp_audio_mixer.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <memory>
#include <thread>

#include "config/start_values.h"
#include "log_capture.h"
#include "platform/dynlib.h"
#include "platform/paths.h"
#include "platform/sysmsg.h"
#include "test_support.h"

namespace {

using asio::ip::tcp;

constexpr uint32_t Chunk = TTCPAudioMixer::ChunkSize;
constexpr uint32_t Frame = TTCPAudioMixer::FrameSize;

uint16_t FreePort() {
  asio::io_context Io;
  return tcp::acceptor(Io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)).local_endpoint().port();
}

using TestSupport::WaitUntil;

// A local recording client.
class TClient {
public:
  explicit TClient(uint16_t Port) : FSocket(FIo) {
    FSocket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), Port));
    FSocket.non_blocking(true);
  }
  // Reads exactly N bytes within TimeoutMs.
  bool Read(size_t N, std::string& Out, int TimeoutMs = 5000) {
    Out.assign(N, '\0');
    size_t Got = 0;
    std::error_code Ec;
    WaitUntil(
        [&] {
          while (Got < N && !Ec) Got += FSocket.read_some(asio::buffer(&Out[Got], N - Got), Ec);
          if (Ec != asio::error::would_block) return true;  // all of it, or a failure
          Ec.clear();
          return false;
        },
        TimeoutMs);
    return Got == N;
  }
  // True when nothing at all arrives within Ms (a wait for nothing to happen).
  bool Silent(int Ms) {
    std::string Out;
    return !Read(1, Out, Ms);
  }
  void Close() { FSocket.close(); }

private:
  asio::io_context FIo;
  tcp::socket FSocket;
};

class TCPAudioMixer : public ::testing::Test {
protected:
  void SetUp() override {
    TTPKTServer::SetTransportLibraryOverride("");
    for (int Attempt = 0; !Mixer; ++Attempt) {
      Port = FreePort();
      try {
        Mixer = std::make_unique<TTCPAudioMixer>("127.0.0.1", Port);
      } catch (const ETPKTServerError&) {
        if (Attempt == 20) throw;
      }
    }
  }
  void TearDown() override { Mixer.reset(); }

  std::unique_ptr<TClient> Connect(int Expected = 1) {
    auto C = std::make_unique<TClient>(Port);
    EXPECT_TRUE(WaitUntil([&] { return Mixer->ClientCount() == Expected; }));
    return C;
  }

  // Adds a block of N bytes of value V.
  void Add(uint32_t N, uint8_t V, uint8_t Channel) {
    const std::string B(N, static_cast<char>(V));
    Mixer->AddBuffer(B.data(), N, Channel);
  }

  uint16_t Port = 0;
  std::unique_ptr<TTCPAudioMixer> Mixer;
};

// Frame byte 2i is received byte i, 2i + 1 sent byte i.
void ExpectFrame(const std::string& F, const std::function<uint8_t(uint32_t)>& Received,
                 const std::function<uint8_t(uint32_t)>& Sent) {
  ASSERT_EQ(F.size(), Frame);
  for (uint32_t I = 0; I < Chunk; ++I) {
    ASSERT_EQ(static_cast<uint8_t>(F[2 * I]), Received(I)) << "received byte " << I;
    ASSERT_EQ(static_cast<uint8_t>(F[2 * I + 1]), Sent(I)) << "sent byte " << I;
  }
}

// Reads Count frames, each within 5 s, and then makes sure that no more come:
// what is left of a last chunk goes out FlushAfterMs after the last input.
std::vector<std::string> ReadFrames(TClient& C, size_t Count) {
  std::vector<std::string> Frames;
  std::string F;
  while (Frames.size() < Count && C.Read(Frame, F)) Frames.push_back(F);
  EXPECT_EQ(Frames.size(), Count);
  EXPECT_TRUE(C.Silent(TTCPAudioMixer::FlushAfterMs + 150)) << "a frame more than " << Count;
  return Frames;
}

uint32_t Pending(const TTCPAudioMixer& M, uint8_t Channel) { return M.Stats().PendingBytes[Channel]; }

// A client that closes is noticed when a write to it fails: frames go out
// until the mixer has no client left.
bool CloseAndWaitGone(TClient& C, TTCPAudioMixer& M) {
  C.Close();
  const std::string Block(TTCPAudioMixer::ChunkSize, '\x11');
  return WaitUntil([&] {
    M.AddBuffer(Block.data(), Chunk, TTCPAudioMixer::SentChannel);
    M.AddBuffer(Block.data(), Chunk, TTCPAudioMixer::ReceivedChannel);
    return M.ClientCount() == 0;
  });
}

constexpr uint8_t Quiet = TTCPAudioMixer::Silence;

TEST_F(TCPAudioMixer, SevenBlocksPerChannelMakeOneFrameAndTheRestFollowsPaddedWhenBothFallQuiet) {
  auto Client = Connect();
  for (uint8_t B = 0; B < 7; ++B) {
    Add(160, 0x10 + B, TTCPAudioMixer::SentChannel);
    Add(160, 0x80 + B, TTCPAudioMixer::ReceivedChannel);
  }
  std::string F;
  ASSERT_TRUE(Client->Read(Frame, F));
  ExpectFrame(F, [](uint32_t I) { return 0x80 + I / 160; }, [](uint32_t I) { return 0x10 + I / 160; });
  EXPECT_EQ(Pending(*Mixer, 0), 120u);
  EXPECT_EQ(Pending(*Mixer, 1), 120u);
  // The call's last 120 bytes are not held back for the next call.
  ASSERT_TRUE(Client->Read(Frame, F, 2000));
  ExpectFrame(F, [](uint32_t I) { return I < 120 ? 0x86 : Quiet; }, [](uint32_t I) { return I < 120 ? 0x16 : Quiet; });
  EXPECT_TRUE(Client->Silent(400)) << "no frames while neither direction has audio";
}

TEST_F(TCPAudioMixer, EveryClientGetsTheStreamsInterleavedByteForByte) {
  auto A = Connect(1);
  auto B = Connect(2);
  // Sent byte k is k*3, received byte k is k*7+1 (mod 256); odd block sizes,
  // the received side up to 350 bytes ahead.
  uint32_t SentPos = 0, RecvPos = 0;
  const uint32_t Total = 5 * Chunk;
  for (uint32_t Size = 37; SentPos < Total || RecvPos < Total; Size = Size % 997 + 113) {
    std::string S, R;
    for (uint32_t I = 0; I < Size && SentPos < Total; ++I) S += static_cast<char>((SentPos++) * 3);
    for (uint32_t I = 0; I < Size + 50 && RecvPos < Total; ++I) R += static_cast<char>((RecvPos++) * 7 + 1);
    if (!S.empty()) Mixer->AddBuffer(S.data(), static_cast<uint32_t>(S.size()), TTCPAudioMixer::SentChannel);
    if (!R.empty()) Mixer->AddBuffer(R.data(), static_cast<uint32_t>(R.size()), TTCPAudioMixer::ReceivedChannel);
  }
  for (TClient* C : {A.get(), B.get()}) {
    for (uint32_t N = 0; N < 5; ++N) {
      std::string F;
      ASSERT_TRUE(C->Read(Frame, F));
      const uint32_t Base = N * Chunk;
      ExpectFrame(
          F, [&](uint32_t I) { return static_cast<uint8_t>((Base + I) * 7 + 1); },
          [&](uint32_t I) { return static_cast<uint8_t>((Base + I) * 3); });
    }
  }
  EXPECT_TRUE(A->Silent(500));
}

// Step k of a conversation: sent block k holds 1 + k, received block k holds
// 100 + k (neither is A-law silence). A frame pairs audio of the same steps,
// give or take what a lag below the mixer's threshold leaves.
struct TPairCheck {
  uint32_t Received = 0, Sent = 0, SilentReceived = 0, SilentSent = 0, Misaligned = 0;
  int MaxOffset = 0;  // in steps of 160 bytes
  void Add(const std::vector<std::string>& Frames) {
    for (const std::string& F : Frames)
      for (uint32_t I = 0; I < Chunk; ++I) {
        const uint8_t R = static_cast<uint8_t>(F[2 * I]), S = static_cast<uint8_t>(F[2 * I + 1]);
        (R == Quiet ? SilentReceived : Received)++;
        (S == Quiet ? SilentSent : Sent)++;
        if (R == Quiet || S == Quiet) continue;
        const int Offset = std::abs((R - 100) - (S - 1));
        Misaligned += Offset != 0;
        MaxOffset = std::max(MaxOffset, Offset);
      }
  }
};
// The most two directions may stand apart: the lag threshold and two blocks.
constexpr int MaxOffsetSteps = (TTCPAudioMixer::LagBytes + 2 * 160) / 160;

TEST_F(TCPAudioMixer, ADirectionThatPausesIsFilledWithSilenceAndComesBackInStep) {
  // Steps 0-12 both directions, 13-32 the peer is silent (hold, a stall),
  // 33-45 both again; then a short pause of the peer (below the threshold:
  // taken as jitter), and the microphone pauses while the peer talks.
  const auto Step = [&](uint8_t K, bool Sent, bool Received) {
    if (Sent) Add(160, 1 + K, TTCPAudioMixer::SentChannel);
    if (Received) Add(160, 100 + K, TTCPAudioMixer::ReceivedChannel);
  };
  auto Client = Connect();
  uint8_t K = 0;
  for (; K < 13; ++K) Step(K, true, true);
  for (; K < 33; ++K) Step(K, true, false);
  for (; K < 46; ++K) Step(K, true, true);
  for (; K < 50; ++K) Step(K, true, false);
  for (; K < 60; ++K) Step(K, false, true);
  for (; K < 64; ++K) Step(K, true, true);
  TPairCheck Check;
  const auto Frames = ReadFrames(*Client, 10);
  ASSERT_EQ(Frames.size(), 10u);
  Check.Add({Frames.begin(), Frames.begin() + 5});  // to the end of step 45 (7360 bytes)
  EXPECT_EQ(Check.Misaligned, 0u) << "a pause of the peer is caught up exactly";
  Check.Add({Frames.begin() + 5, Frames.end()});
  EXPECT_LE(Check.MaxOffset, MaxOffsetSteps);
  EXPECT_EQ(Check.Sent, 54u * 160) << "nothing of the microphone lost";
  EXPECT_EQ(Check.Received, 40u * 160) << "nothing of the peer lost";
  EXPECT_GE(Check.SilentReceived, 20u * 160) << "the pause is kept as silence";
  EXPECT_GE(Check.SilentSent, 10u * 160 - TTCPAudioMixer::LagBytes);
  EXPECT_EQ(Pending(*Mixer, 0) + Pending(*Mixer, 1), 0u);
}

TEST_F(TCPAudioMixer, ADirectionThatStopsForGoodNeitherStopsTheFramesNorPilesUp) {
  auto Client = Connect();
  Add(160, 7, TTCPAudioMixer::ReceivedChannel);
  for (int I = 0; I < 250; ++I) {  // five seconds, faster than real time
    Add(160, 1, TTCPAudioMixer::SentChannel);
    if (I % 7 == 0) {
      EXPECT_TRUE(WaitUntil([&] { return Pending(*Mixer, 0) < Chunk; }));
      EXPECT_LT(Pending(*Mixer, 1), Chunk) << "silence is not stored beyond the frame it fills";
    }
  }
  const auto Frames = ReadFrames(*Client, 40);
  ASSERT_EQ(Frames.size(), 40u);
  ExpectFrame(Frames[0], [](uint32_t I) { return I < 160 ? 7 : Quiet; }, [](uint32_t) { return 1; });
  ExpectFrame(Frames[39], [](uint32_t) { return Quiet; }, [](uint32_t) { return 1; });
  EXPECT_EQ(Mixer->Stats().FramesSent, 40u);
}

TEST_F(TCPAudioMixer, PendingAudioIsBoundedToTwoSecondsAndTheOldestGoesFirst) {
  auto Client = Connect();
  std::string Long;  // five seconds at once, each 1000 bytes numbered
  for (uint32_t I = 0; I < 40000; ++I) Long += static_cast<char>(I / 1000);
  Mixer->AddBuffer(Long.data(), 40000, TTCPAudioMixer::SentChannel);
  const auto Frames = ReadFrames(*Client, 16);  // sent once the peer's side stays quiet
  ASSERT_EQ(Frames.size(), 16u);
  for (uint32_t N = 0; N < 16; ++N) ExpectFrame(Frames[N], [](uint32_t) { return Quiet; }, [&](uint32_t) { return 24 + N; });
  EXPECT_EQ(Mixer->Stats().DroppedBytes, 24000u);
}

TEST_F(TCPAudioMixer, NothingIsStoredWithoutAClient) {
  for (int I = 0; I < 20; ++I) {
    Add(160, 1, TTCPAudioMixer::SentChannel);
    Add(160, 2, TTCPAudioMixer::ReceivedChannel);
  }
  EXPECT_EQ(Pending(*Mixer, 0), 0u);
  EXPECT_EQ(Pending(*Mixer, 1), 0u);
  auto Client = Connect();
  EXPECT_TRUE(Client->Silent(500));
}

TEST_F(TCPAudioMixer, BlocksLongerThanAChunkAreSpreadOverChunks) {
  auto Client = Connect();
  std::string S, R;
  for (int I = 0; I < 2500; ++I) {
    S += static_cast<char>(I % 251);
    R += static_cast<char>(I % 241);
  }
  Mixer->AddBuffer(S.data(), 2500, TTCPAudioMixer::SentChannel);
  Mixer->AddBuffer(R.data(), 2500, TTCPAudioMixer::ReceivedChannel);
  const auto Frames = ReadFrames(*Client, 3);
  ASSERT_EQ(Frames.size(), 3u);
  for (uint32_t N = 0; N < 3; ++N)
    ExpectFrame(
        Frames[N], [&](uint32_t I) { return N * Chunk + I < 2500 ? static_cast<uint8_t>((N * Chunk + I) % 241) : Quiet; },
        [&](uint32_t I) { return N * Chunk + I < 2500 ? static_cast<uint8_t>((N * Chunk + I) % 251) : Quiet; });
}

TEST_F(TCPAudioMixer, PendingAudioIsDroppedWhenTheLastClientLeaves) {
  auto First = Connect();
  Add(900, 5, TTCPAudioMixer::SentChannel);
  Add(400, 50, TTCPAudioMixer::ReceivedChannel);
  ASSERT_TRUE(CloseAndWaitGone(*First, *Mixer));
  ASSERT_TRUE(WaitUntil([&] { return Pending(*Mixer, 0) + Pending(*Mixer, 1) == 0; }));

  auto Second = Connect();
  Add(Chunk, 77, TTCPAudioMixer::SentChannel);
  Add(Chunk, 88, TTCPAudioMixer::ReceivedChannel);
  std::string F;
  ASSERT_TRUE(Second->Read(Frame, F));
  ExpectFrame(F, [](uint32_t) { return 88; }, [](uint32_t) { return 77; });
}

TEST_F(TCPAudioMixer, ClientsAreLogged) {
  TestSupport::TLogCapture Log;
  DoLog = true;
  auto Client = Connect();
  const bool Gone = CloseAndWaitGone(*Client, *Mixer);
  DoLog = false;
  ASSERT_TRUE(Gone);
  const auto Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0].rfind("Mixer TCPConnect happend: 127.0.0.1:", 0), 0u) << Lines[0];
  EXPECT_EQ(Lines[1].rfind("Mixer TCPDisconnect happend: 127.0.0.1:", 0), 0u) << Lines[1];
  EXPECT_EQ(Lines[0].substr(Lines[0].find(':')), Lines[1].substr(Lines[1].find(':')));
}

TEST_F(TCPAudioMixer, APortInUseFailsTheConstruction) {
  try {
    TTCPAudioMixer Second("127.0.0.1", Port);
    FAIL() << "two mixers on one port";
  } catch (const ETPKTServerError& E) {
    const int Code = asio::error::address_in_use;
    EXPECT_EQ(E.Message(),
              "Cannot start server. " + Platform::SystemMessage(Code) + "(" + std::to_string(Code) + ")");
  }
}

// ---- a failing send, through the stand-in library ----------------------------

TEST(TCPAudioMixerFailures, AFailedSendIsLoggedAndTheThreadGoesOn) {
  const std::string Fake = Platform::ExeDir() + "testlibs" + Platform::PathDelim() + "fake_transport" +
                           Platform::PathDelim() + TTPKTServer::TransportLibraryName();
  Platform::TLibHandle Lib = Platform::LoadLibraryByName(Fake);
  ASSERT_NE(Lib, nullptr);
  auto Reset = reinterpret_cast<void(BRENVIC_STDCALL*)()>(Platform::LibrarySymbol(Lib, "FakeReset"));
  auto Fail = reinterpret_cast<void(BRENVIC_STDCALL*)(int, int, int32_t)>(Platform::LibrarySymbol(Lib, "FakeFail"));
  auto Calls = reinterpret_cast<int(BRENVIC_STDCALL*)(int)>(Platform::LibrarySymbol(Lib, "FakeCalls"));
  auto Fire = reinterpret_cast<void(BRENVIC_STDCALL*)(int, int32_t, int32_t, const char*, int32_t)>(
      Platform::LibrarySymbol(Lib, "FakeFire"));
  Reset();
  TestSupport::TLogCapture Log;
  TTPKTServer::SetTransportLibraryOverride(Fake);
  {
    TTCPAudioMixer Mixer("127.0.0.1", 25003);
    Fire(2, 1, 1, "127.0.0.1", 40000);  // a client of server 1
    ASSERT_EQ(Mixer.ClientCount(), 1);
    Fail(3, 13, 0);
    const std::string Block(Chunk, 'x');
    Mixer.AddBuffer(Block.data(), Chunk, 0);
    Mixer.AddBuffer(Block.data(), Chunk, 1);
    ASSERT_TRUE(WaitUntil([&] { return Calls(3) == 1; }));
    Fail(3, 0, 0);
    Mixer.AddBuffer(Block.data(), Chunk, 0);
    Mixer.AddBuffer(Block.data(), Chunk, 1);
    ASSERT_TRUE(WaitUntil([&] { return Calls(3) == 2; }));
  }
  TTPKTServer::SetTransportLibraryOverride("");
  Platform::FreeLibraryHandle(Lib);
  const auto Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0], "TCPAudioMixer internal exception: Send data to all error. " + Platform::SystemMessage(13) + "(13)");
}

// ---- concurrency ---------------------------------------------------------------

TEST_F(TCPAudioMixer, FramesStayInterleavedWhileClientsComeAndGo) {
  // Sent bytes have the high bit clear, received bytes set (or silence, which
  // has it set too); every pair in every frame must hold one of each.
  std::atomic<bool> Done{false};
  std::thread Session([&] {
    uint32_t N = 0;
    while (!Done) {
      const uint32_t Size = 80 + (N * 37) % 400;
      Add(Size, static_cast<uint8_t>(N % 128), TTCPAudioMixer::SentChannel);
      if (N % 5 != 4) Add(Size, static_cast<uint8_t>(128 + N % 128), TTCPAudioMixer::ReceivedChannel);
      ++N;
      std::this_thread::sleep_for(std::chrono::microseconds(300));  // pacing
    }
  });
  std::atomic<bool> Bad{false};
  int Frames = 0;
  for (int Round = 0; Round < 4; ++Round) {
    TClient C(Port);
    for (int I = 0; I < 3; ++I) {
      std::string F;
      if (!C.Read(Frame, F)) break;
      ++Frames;
      for (uint32_t K = 0; K < Chunk; ++K)
        if (!(F[2 * K] & 0x80) || ((F[2 * K + 1] & 0x80) && static_cast<uint8_t>(F[2 * K + 1]) != Quiet)) Bad = true;
    }
    C.Close();
  }
  Done = true;
  Session.join();
  EXPECT_FALSE(Bad);
  EXPECT_GT(Frames, 0);
}

}  // namespace
