// The TCP audio mixer with real TCP clients reading its frames.

#include "mixer/tcp_audio_mixer.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <memory>
#include <thread>

#include "config/start_values.h"
#include "log_capture.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/paths.h"
#include "platform/sysmsg.h"

namespace {

using asio::ip::tcp;

constexpr uint32_t Chunk = TTCPAudioMixer::ChunkSize;
constexpr uint32_t Frame = TTCPAudioMixer::FrameSize;

uint16_t FreePort() {
  asio::io_context Io;
  return tcp::acceptor(Io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)).local_endpoint().port();
}

bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = 5000) {
  for (int I = 0; I < TimeoutMs / 2; ++I) {
    if (Done()) return true;
    Platform::SleepMs(2);
  }
  return Done();
}

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
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (Got < N) {
      std::error_code Ec;
      const size_t R = FSocket.read_some(asio::buffer(&Out[Got], N - Got), Ec);
      if (Ec == asio::error::would_block) {
        if (std::chrono::steady_clock::now() > Deadline) return false;
        Platform::SleepMs(1);
        continue;
      }
      if (Ec) return false;
      Got += R;
    }
    return true;
  }
  // True when nothing at all arrives within Ms.
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

TEST_F(TCPAudioMixer, SevenBlocksPerChannelMakeExactlyOneFrame) {
  auto Client = Connect();
  for (uint8_t B = 0; B < 7; ++B) {
    Add(160, 0x10 + B, TTCPAudioMixer::SentChannel);
    Add(160, 0x80 + B, TTCPAudioMixer::ReceivedChannel);
  }
  std::string F;
  ASSERT_TRUE(Client->Read(Frame, F));
  ExpectFrame(F, [](uint32_t I) { return 0x80 + I / 160; }, [](uint32_t I) { return 0x10 + I / 160; });
  EXPECT_TRUE(Client->Silent(400));
  EXPECT_EQ(Mixer->ChunkCounts(0), std::vector<uint32_t>{120});
  EXPECT_EQ(Mixer->ChunkCounts(1), std::vector<uint32_t>{120});
}

TEST_F(TCPAudioMixer, EveryClientGetsTheStreamsInterleavedByteForByte) {
  auto A = Connect(1);
  auto B = Connect(2);
  // Sent byte k is k*3, received byte k is k*7+1 (mod 256); odd block sizes.
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
  EXPECT_TRUE(A->Silent(300));
}

TEST_F(TCPAudioMixer, ABacklogOfSixteenChunksIsDroppedAndThePartialChunkCut) {
  auto Client = Connect();
  // Sent: 33 blocks of 500 bytes (block j holds the value j): 16 complete
  // chunks and a partial one of 500 bytes from block 32.
  for (uint8_t J = 0; J < 33; ++J) Add(500, J, TTCPAudioMixer::SentChannel);
  EXPECT_TRUE(Client->Silent(300));  // nothing to pair with
  EXPECT_EQ(Mixer->ChunkCounts(0).size(), 17u);

  // The first received block drops the backlog and cuts the partial chunk to
  // its own size.
  Add(160, 100, TTCPAudioMixer::ReceivedChannel);
  EXPECT_EQ(Mixer->ChunkCounts(0), std::vector<uint32_t>{160});
  EXPECT_EQ(Mixer->ChunkCounts(1), std::vector<uint32_t>{160});
  for (uint8_t B = 1; B <= 6; ++B) {
    Add(160, 32 + B, TTCPAudioMixer::SentChannel);
    Add(160, 100 + B, TTCPAudioMixer::ReceivedChannel);
  }
  std::string F;
  ASSERT_TRUE(Client->Read(Frame, F));
  ExpectFrame(F, [](uint32_t I) { return 100 + I / 160; }, [](uint32_t I) { return 32 + I / 160; });
}

TEST_F(TCPAudioMixer, ABacklogWithASmallPartialChunkKeepsTheNewestBytesOfTheBlock) {
  auto Client = Connect();
  // Sent: 161 blocks of 100 bytes: 16 complete chunks and 100 bytes of value 160.
  for (uint32_t J = 0; J < 161; ++J) Add(100, static_cast<uint8_t>(J), TTCPAudioMixer::SentChannel);
  // A received block of 160 bytes (byte i = i): only its last 100 stay.
  std::string R;
  for (int I = 0; I < 160; ++I) R += static_cast<char>(I);
  Mixer->AddBuffer(R.data(), 160, TTCPAudioMixer::ReceivedChannel);
  EXPECT_EQ(Mixer->ChunkCounts(0), std::vector<uint32_t>{100});
  EXPECT_EQ(Mixer->ChunkCounts(1), std::vector<uint32_t>{100});
  for (int B = 0; B < 9; ++B) {
    Add(100, 200, TTCPAudioMixer::SentChannel);
    Add(100, 250, TTCPAudioMixer::ReceivedChannel);
  }
  std::string F;
  ASSERT_TRUE(Client->Read(Frame, F));
  ExpectFrame(F, [](uint32_t I) { return I < 100 ? 60 + I : 250; }, [](uint32_t I) { return I < 100 ? 160 : 200; });
}

TEST_F(TCPAudioMixer, ASmallBacklogStaysAndIsPairedWithNewerAudio) {
  auto Client = Connect();
  for (uint8_t J = 0; J < 5; ++J) Add(Chunk, J, TTCPAudioMixer::SentChannel);
  Add(Chunk, 100, TTCPAudioMixer::ReceivedChannel);
  std::string F;
  ASSERT_TRUE(Client->Read(Frame, F));
  ExpectFrame(F, [](uint32_t) { return 100; }, [](uint32_t) { return 0; });  // the oldest sent audio
  EXPECT_TRUE(WaitUntil([&] { return Mixer->ChunkCounts(0).size() == 4; }));
}

TEST_F(TCPAudioMixer, NothingIsStoredWithoutAClient) {
  for (int I = 0; I < 20; ++I) {
    Add(160, 1, TTCPAudioMixer::SentChannel);
    Add(160, 2, TTCPAudioMixer::ReceivedChannel);
  }
  EXPECT_TRUE(Mixer->ChunkCounts(0).empty());
  EXPECT_TRUE(Mixer->ChunkCounts(1).empty());
  auto Client = Connect();
  EXPECT_TRUE(Client->Silent(300));
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
  for (uint32_t N = 0; N < 2; ++N) {
    std::string F;
    ASSERT_TRUE(Client->Read(Frame, F));
    ExpectFrame(
        F, [&](uint32_t I) { return static_cast<uint8_t>((N * Chunk + I) % 241); },
        [&](uint32_t I) { return static_cast<uint8_t>((N * Chunk + I) % 251); });
  }
  EXPECT_TRUE(WaitUntil([&] { return Mixer->ChunkCounts(0) == std::vector<uint32_t>{500}; }));
  EXPECT_EQ(Mixer->ChunkCounts(1), std::vector<uint32_t>{500});
}

TEST_F(TCPAudioMixer, ALongBlockStartingAChannelAgainstABacklog) {
  auto Client = Connect();
  for (int I = 0; I < 12; ++I) Add(Chunk, 7, TTCPAudioMixer::SentChannel);
  Add(300, 8, TTCPAudioMixer::SentChannel);
  std::string R;
  for (int I = 0; I < 2500; ++I) R += static_cast<char>(I % 241);
  Mixer->AddBuffer(R.data(), 2500, TTCPAudioMixer::ReceivedChannel);
  // Both now stand at 300 bytes: the newest 300 of the long block.
  EXPECT_EQ(Mixer->ChunkCounts(0), std::vector<uint32_t>{300});
  EXPECT_EQ(Mixer->ChunkCounts(1), std::vector<uint32_t>{300});
  Add(700, 9, TTCPAudioMixer::SentChannel);
  Add(700, 10, TTCPAudioMixer::ReceivedChannel);
  std::string F;
  ASSERT_TRUE(Client->Read(Frame, F));
  ExpectFrame(F, [](uint32_t I) { return I < 300 ? static_cast<uint8_t>((2200 + I) % 241) : 10; },
              [](uint32_t I) { return I < 300 ? 8 : 9; });
}

TEST_F(TCPAudioMixer, PendingAudioIsDroppedWhenTheLastClientLeaves) {
  auto First = Connect();
  for (uint8_t J = 0; J < 5; ++J) Add(Chunk, J, TTCPAudioMixer::SentChannel);
  Add(400, 50, TTCPAudioMixer::ReceivedChannel);
  First->Close();
  ASSERT_TRUE(WaitUntil([&] { return Mixer->ClientCount() == 0; }));
  ASSERT_TRUE(WaitUntil([&] { return Mixer->ChunkCounts(0).empty() && Mixer->ChunkCounts(1).empty(); }));

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
  Client->Close();
  ASSERT_TRUE(WaitUntil([&] { return Mixer->ClientCount() == 0; }));
  DoLog = false;
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
  // Sent bytes have the high bit clear, received bytes set; whatever the
  // alignment drops, every pair in every frame must hold one of each.
  std::atomic<bool> Done{false};
  std::thread Session([&] {
    uint32_t N = 0;
    while (!Done) {
      const uint32_t Size = 80 + (N * 37) % 400;
      Add(Size, static_cast<uint8_t>(N % 128), TTCPAudioMixer::SentChannel);
      if (N % 5 != 4) Add(Size, static_cast<uint8_t>(128 + N % 128), TTCPAudioMixer::ReceivedChannel);
      ++N;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
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
        if (!(F[2 * K] & 0x80) || (F[2 * K + 1] & 0x80)) Bad = true;
    }
    C.Close();
  }
  Done = true;
  Session.join();
  EXPECT_FALSE(Bad);
  EXPECT_GT(Frames, 0);
}

}  // namespace
