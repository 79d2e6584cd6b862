// The wave port's contract, on virtual devices: callbacks in queue order on a
// device thread, re-queueing from the callback, reset and close giving
// everything back, pacing by the clock, the files played and written, faults
// and a vanishing device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "devices_test_support.h"
#include "platform/g711.h"
#include "test_support.h"

using namespace DevicesTest;
using namespace Platform;
using TClock = std::chrono::steady_clock;

namespace {

// Records every callback; optionally queues each capture buffer again.
struct TListener {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::pair<uint32_t, WAVEHDR*>> Calls;  // guarded by Lock
  std::string Data;                                   // guarded by Lock: captured bytes in order
  std::atomic<bool> Requeue{false};
  std::thread::id Opener = std::this_thread::get_id();
  std::atomic<bool> OtherThread{true};

  static void Proc(TWaveHandle H, uint32_t Msg, uintptr_t Instance, uintptr_t P1, uintptr_t) noexcept {
    auto* Self = reinterpret_cast<TListener*>(Instance);
    auto* Header = reinterpret_cast<WAVEHDR*>(P1);
    std::unique_lock L(Self->Lock);
    Self->Calls.emplace_back(Msg, Header);
    if (Msg == WIM_DATA) {
      Self->Data.append(Header->lpData, Header->dwBytesRecorded);
      if (Self->Requeue) {
        L.unlock();
        WaveInAddBuffer(H, Header, sizeof(WAVEHDR));
        L.lock();
      }
    }
    if (Msg == WIM_DATA || Msg == WOM_DONE)
      if (std::this_thread::get_id() == Self->Opener) Self->OtherThread = false;
    Self->Changed.notify_all();
  }
  bool WaitCalls(size_t N, int Ms = 5000) {
    std::unique_lock L(Lock);
    return Changed.wait_for(L, std::chrono::milliseconds(Ms), [&] { return Calls.size() >= N; });
  }
  std::vector<uint32_t> Messages() {
    std::lock_guard L(Lock);
    std::vector<uint32_t> M;
    for (const auto& C : Calls) M.push_back(C.first);
    return M;
  }
};

struct TBuffers {
  explicit TBuffers(int Count, uint32_t Length) : Headers(static_cast<size_t>(Count)), Bytes(static_cast<size_t>(Count)) {
    for (size_t I = 0; I < Headers.size(); ++I) {
      Bytes[I].assign(Length, '\0');
      Headers[I].lpData = Bytes[I].data();
      Headers[I].dwBufferLength = Length;
    }
  }
  std::vector<WAVEHDR> Headers;
  std::vector<std::string> Bytes;
};

std::string Pattern(size_t Size) {
  std::string P(Size, '\0');
  for (size_t I = 0; I < Size; ++I) P[I] = static_cast<char>((I * 37 + I / 251) & 0xFF);
  return P;
}

std::string Looped(const std::string& P, size_t Size) {
  std::string R;
  while (R.size() < Size) R += P;
  return R.substr(0, Size);
}

std::string Le16(uint16_t V) { return {static_cast<char>(V & 0xFF), static_cast<char>(V >> 8)}; }
std::string Le32(uint32_t V) { return Le16(static_cast<uint16_t>(V & 0xFFFF)) + Le16(static_cast<uint16_t>(V >> 16)); }
std::string Wav(uint16_t Tag, uint16_t Channels, uint32_t Rate, uint16_t Bits, const std::string& Data) {
  const uint16_t Align = static_cast<uint16_t>(Channels * Bits / 8);
  return "RIFF" + Le32(static_cast<uint32_t>(36 + Data.size())) + "WAVEfmt " + Le32(16) + Le16(Tag) + Le16(Channels) +
         Le32(Rate) + Le32(Rate * Align) + Le16(Align) + Le16(Bits) + "data" + Le32(static_cast<uint32_t>(Data.size())) + Data;
}

class VirtualWave : public ::testing::Test {
protected:
  TestSupport::TTempDir FDir;
};

// Opens capture device 0, queues the buffers, starts, captures Bytes bytes.
std::string Capture(TListener& L, size_t Bytes, uint32_t BufferLength = 160) {
  TWaveHandle H = 0;
  EXPECT_EQ(WaveOpen(TWaveDir::In, &H, 0, &ALaw, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION), 0u);
  TBuffers B(4, BufferLength);
  L.Requeue = true;
  for (auto& Hd : B.Headers) {
    EXPECT_EQ(WavePrepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
    EXPECT_EQ(WaveInAddBuffer(H, &Hd, sizeof Hd), 0u);
  }
  EXPECT_EQ(WaveInStart(H), 0u);
  const size_t Blocks = (Bytes + BufferLength - 1) / BufferLength;
  EXPECT_TRUE(L.WaitCalls(1 + Blocks));
  L.Requeue = false;
  EXPECT_EQ(WaveReset(TWaveDir::In, H), 0u);
  for (auto& Hd : B.Headers) EXPECT_EQ(WaveUnprepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
  EXPECT_EQ(WaveClose(TWaveDir::In, H), 0u);
  std::lock_guard G(L.Lock);
  return L.Data.substr(0, Bytes);
}

}  // namespace

TEST_F(VirtualWave, CaptureHandsBackFullBuffersInQueueOrderAtTheByteRate) {
  TVirtualWaveDevice Mic = DevicesTest::Mic("Mic");
  const std::string P = Pattern(1000);
  TestSupport::WriteFile(FDir.Path() / "mic.raw", P);
  Mic.FileName = (FDir.Path() / "mic.raw").string();
  TVirtualDevices Installed({Mic});

  TListener L;
  TWaveHandle H = 0;
  ASSERT_EQ(WaveOpen(TWaveDir::In, &H, 0, &ALaw, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION), 0u);
  TBuffers B(3, 400);  // 50 ms each
  for (auto& Hd : B.Headers) {
    ASSERT_EQ(WaveInAddBuffer(H, &Hd, sizeof Hd), WAVERR_UNPREPARED);
    ASSERT_EQ(WavePrepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
    ASSERT_EQ(WaveInAddBuffer(H, &Hd, sizeof Hd), 0u);
  }
  EXPECT_EQ(WaveUnprepareHeader(TWaveDir::In, H, &B.Headers[0], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(WaveClose(TWaveDir::In, H), WAVERR_STILLPLAYING);
  const auto Started = TClock::now();
  ASSERT_EQ(WaveInStart(H), 0u);
  ASSERT_TRUE(L.WaitCalls(4));
  const auto Took = TClock::now() - Started;
  EXPECT_GE(Took, std::chrono::milliseconds(145));  // never ahead of the clock: 3 x 50 ms
  EXPECT_LT(Took, std::chrono::seconds(3));
  {
    std::lock_guard G(L.Lock);
    EXPECT_EQ(L.Calls[0].first, WIM_OPEN);
    for (size_t I = 0; I < 3; ++I) {
      EXPECT_EQ(L.Calls[I + 1].second, &B.Headers[I]);
      EXPECT_EQ(B.Headers[I].dwBytesRecorded, 400u);
      EXPECT_EQ(B.Headers[I].dwFlags, WHDR_PREPARED | WHDR_DONE);
    }
    EXPECT_EQ(L.Data, Looped(P, 1200));
    EXPECT_TRUE(L.OtherThread);
  }
  EXPECT_EQ(WaveClose(TWaveDir::In, H), 0u);
  EXPECT_EQ(L.Messages().back(), WIM_CLOSE);
}

TEST_F(VirtualWave, ResetGivesEveryQueuedBufferBackBeforeItReturns) {
  TVirtualDevices Installed({Mic("Mic"), Ear("Ear")});
  for (TWaveDir Dir : {TWaveDir::In, TWaveDir::Out}) {
    TListener L;
    TWaveHandle H = 0;
    ASSERT_EQ(WaveOpen(Dir, &H, 0, &ALaw, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION), 0u);
    TBuffers B(5, 8000);  // a second each: none is done before the reset
    for (auto& Hd : B.Headers) {
      ASSERT_EQ(WavePrepareHeader(Dir, H, &Hd, sizeof Hd), 0u);
      ASSERT_EQ(Dir == TWaveDir::In ? WaveInAddBuffer(H, &Hd, sizeof Hd) : WaveOutWrite(H, &Hd, sizeof Hd), 0u);
    }
    if (Dir == TWaveDir::In) {
      ASSERT_EQ(WaveInStart(H), 0u);
    }
    ASSERT_EQ(WaveReset(Dir, H), 0u);
    const auto M = L.Messages();
    ASSERT_EQ(M.size(), 6u);
    for (size_t I = 0; I < 5; ++I) {
      EXPECT_EQ(M[I + 1], Dir == TWaveDir::In ? WIM_DATA : WOM_DONE);
      EXPECT_EQ(L.Calls[I + 1].second, &B.Headers[I]);
    }
    for (auto& Hd : B.Headers) EXPECT_EQ(WaveUnprepareHeader(Dir, H, &Hd, sizeof Hd), 0u);
    EXPECT_EQ(WaveClose(Dir, H), 0u);
    EXPECT_EQ(L.Messages().back(), Dir == TWaveDir::In ? WIM_CLOSE : WOM_CLOSE);
    EXPECT_EQ(WaveClose(Dir, H), MMSYSERR_INVALHANDLE);
  }
}

// The device thread stands still for 300 ms (as in a stopped process or a
// frozen machine): like a sound card, the device fills the buffers that were
// queued and loses the rest of what it took meanwhile. Only those buffers come
// back at once; the missed 15 buffers' worth is not delivered late as a burst.
TEST_F(VirtualWave, CaptureAfterAStallHandsBackOnlyTheQueuedBuffers) {
  TVirtualDevices Installed({Mic("Mic")});
  struct TStaller {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<TClock::time_point> At;  // guarded by Lock: each full buffer
    TClock::time_point StallEnd{};       // guarded by Lock
    std::atomic<bool> Requeue{true};
    static void Proc(TWaveHandle H, uint32_t Msg, uintptr_t Instance, uintptr_t P1, uintptr_t) noexcept {
      auto* Self = reinterpret_cast<TStaller*>(Instance);
      auto* Header = reinterpret_cast<WAVEHDR*>(P1);
      if (Msg != WIM_DATA || !Self->Requeue) return;
      size_t N;
      {
        std::lock_guard L(Self->Lock);
        Self->At.push_back(TClock::now());
        N = Self->At.size();
      }
      if (N == 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the stall itself
        std::lock_guard L(Self->Lock);
        Self->StallEnd = TClock::now();
      }
      WaveInAddBuffer(H, Header, sizeof(WAVEHDR));
      Self->Changed.notify_all();
    }
  } Staller;
  TWaveHandle H = 0;
  ASSERT_EQ(WaveOpen(TWaveDir::In, &H, 0, &ALaw, &TStaller::Proc, reinterpret_cast<uintptr_t>(&Staller), CALLBACK_FUNCTION), 0u);
  TBuffers B(5, 160);  // as the recorder queues them: five of 20 ms
  for (auto& Hd : B.Headers) {
    ASSERT_EQ(WavePrepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
    ASSERT_EQ(WaveInAddBuffer(H, &Hd, sizeof Hd), 0u);
  }
  ASSERT_EQ(WaveInStart(H), 0u);
  // Until a buffer has come after the 50 ms that follow the stall.
  {
    std::unique_lock L(Staller.Lock);
    ASSERT_TRUE(Staller.Changed.wait_for(L, std::chrono::seconds(10), [&] {
      return Staller.StallEnd != TClock::time_point{} && Staller.At.back() >= Staller.StallEnd + std::chrono::milliseconds(50);
    }));
  }
  Staller.Requeue = false;
  ASSERT_EQ(WaveReset(TWaveDir::In, H), 0u);
  for (auto& Hd : B.Headers) ASSERT_EQ(WaveUnprepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
  ASSERT_EQ(WaveClose(TWaveDir::In, H), 0u);
  std::lock_guard L(Staller.Lock);
  size_t Burst = 0;
  for (const auto& T : Staller.At) Burst += T >= Staller.StallEnd && T < Staller.StallEnd + std::chrono::milliseconds(50);
  // The four buffers that stayed queued, and at most the live ones of 50 ms.
  EXPECT_LE(Burst, 4u + 3u);
  EXPECT_GE(Burst, 4u);
}

TEST_F(VirtualWave, CaptureSourcesRawWavALawWavPcmAndTone) {
  const std::string P = Pattern(999);
  std::string Pcm;
  std::string Expected;
  for (int I = 0; I < 500; ++I) {
    const int16_t S = static_cast<int16_t>((I * 131) % 65536 - 32768);
    Pcm += Le16(static_cast<uint16_t>(S)) + Le16(static_cast<uint16_t>(S));  // the same on both channels
    Expected += static_cast<char>(LinearToALaw(S));
  }
  TestSupport::WriteFile(FDir.Path() / "a.wav", Wav(WaveFormatALaw, 1, 8000, 8, P));
  TestSupport::WriteFile(FDir.Path() / "p.wav", Wav(1, 2, 8000, 16, Pcm));
  const struct {
    std::string File;
    std::string Expected;
  } Cases[] = {{"a.wav", P}, {"p.wav", Expected}};
  for (const auto& C : Cases) {
    TVirtualWaveDevice D = Mic("Mic");
    D.FileName = (FDir.Path() / C.File).string();
    TVirtualDevices Installed({D});
    TListener L;
    EXPECT_EQ(Capture(L, 1200), Looped(C.Expected, 1200)) << C.File;
  }
  // A tone of F Hz crosses zero 2F times a second: whole hertz that divide the
  // rate, whole hertz that do not, and a fraction.
  for (const double Hz : {1000.0, 440.0, 437.5}) {
    TVirtualWaveDevice Tone = Mic("Tone");
    Tone.ToneHz = Hz;
    TVirtualDevices Installed({Tone});
    TListener L;
    const std::string T = Capture(L, 1600);
    int Crossings = 0;
    double Peak = 0;
    for (size_t I = 1; I < T.size(); ++I) {
      const int A = ALawToLinear(static_cast<uint8_t>(T[I - 1])), B = ALawToLinear(static_cast<uint8_t>(T[I]));
      Crossings += (A < 0) != (B < 0);
      Peak = std::max(Peak, std::abs(static_cast<double>(B)));
    }
    EXPECT_NEAR(Crossings, 2 * Hz * 1600 / 8000, 4) << Hz;
    EXPECT_NEAR(20 * std::log10(Peak / 32767), -10, 1) << Hz;
  }
}

TEST_F(VirtualWave, FormatsAndFilesThatCannotBePlayedFailTheOpening) {
  TestSupport::WriteFile(FDir.Path() / "16k.wav", Wav(1, 1, 16000, 16, std::string(100, '\0')));
  TestSupport::WriteFile(FDir.Path() / "u8.wav", Wav(1, 1, 8000, 8, std::string(100, '\0')));
  const struct {
    std::string File;
    TWaveFormat Format;
    MMRESULT Result;
  } Cases[] = {
      {"", {1, 1, 8000, 16000, 2, 16, 0}, WAVERR_BADFORMAT},
      {"", {WaveFormatALaw, 2, 8000, 16000, 2, 8, 0}, WAVERR_BADFORMAT},
      {"16k.wav", ALaw, WAVERR_BADFORMAT},
      {"u8.wav", ALaw, WAVERR_BADFORMAT},
      {"missing.raw", ALaw, MMSYSERR_ERROR},
  };
  for (const auto& C : Cases) {
    TVirtualWaveDevice D = Mic("Mic");
    if (!C.File.empty()) D.FileName = (FDir.Path() / C.File).string();
    TVirtualDevices Installed({D});
    TListener L;
    TWaveHandle H = 0;
    EXPECT_EQ(WaveOpen(TWaveDir::In, &H, 0, &C.Format, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION),
              C.Result)
        << C.File;
    EXPECT_EQ(H, 0u);
  }
}

TEST_F(VirtualWave, PlaybackWritesWhatItPlaysPacedByTheClock) {
  for (const char* Name : {"ear.raw", "ear.wav"}) {
    TVirtualWaveDevice D = Ear("Ear");
    D.FileName = (FDir.Path() / Name).string();
    TVirtualDevices Installed({D});
    TListener L;
    TWaveHandle H = 0;
    ASSERT_EQ(WaveOpen(TWaveDir::Out, &H, 0, &ALaw, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION), 0u);
    TBuffers B(4, 400);
    std::string Played;
    const auto Started = TClock::now();
    for (size_t I = 0; I < B.Headers.size(); ++I) {
      B.Bytes[I] = Pattern(400 + I).substr(I, 400);
      B.Headers[I].lpData = B.Bytes[I].data();
      Played += B.Bytes[I];
      ASSERT_EQ(WavePrepareHeader(TWaveDir::Out, H, &B.Headers[I], sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(WaveOutWrite(H, &B.Headers[I], sizeof(WAVEHDR)), 0u);
    }
    ASSERT_TRUE(L.WaitCalls(5));
    EXPECT_GE(TClock::now() - Started, std::chrono::milliseconds(195));  // 4 x 50 ms
    for (auto& Hd : B.Headers) ASSERT_EQ(WaveUnprepareHeader(TWaveDir::Out, H, &Hd, sizeof Hd), 0u);
    ASSERT_EQ(WaveClose(TWaveDir::Out, H), 0u);
    const std::string File = TestSupport::ReadFile(FDir.Path() / Name);
    if (std::string(Name) == "ear.raw") {
      EXPECT_EQ(File, Played);
    } else {
      ASSERT_EQ(File.size(), 58 + Played.size());
      EXPECT_EQ(File.substr(0, 4), "RIFF");
      EXPECT_EQ(File.substr(4, 4), Le32(static_cast<uint32_t>(50 + Played.size())));
      EXPECT_EQ(File.substr(20, 2), Le16(WaveFormatALaw));
      EXPECT_EQ(File.substr(24, 4), Le32(8000));
      EXPECT_EQ(File.substr(46, 4), Le32(static_cast<uint32_t>(Played.size())));  // samples
      EXPECT_EQ(File.substr(50, 4), "data");
      EXPECT_EQ(File.substr(54, 4), Le32(static_cast<uint32_t>(Played.size())));
      EXPECT_EQ(File.substr(58), Played);
    }
  }
}

// A sound card plays queued audio back to back on its own clock: a device
// thread held up in a callback must not delay what comes next, and only a
// buffer that comes after the audio ran out starts late.
TEST_F(VirtualWave, PlaybackKeepsItsClockThroughALateCallbackAndRestartsAfterAnUnderrun) {
  TVirtualDevices Installed({Ear("Ear")});
  struct TDone {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<TClock::time_point> At;  // guarded by Lock
    static void Proc(TWaveHandle, uint32_t Msg, uintptr_t Instance, uintptr_t, uintptr_t) noexcept {
      if (Msg != WOM_DONE) return;
      auto* Self = reinterpret_cast<TDone*>(Instance);
      size_t N;
      {
        std::lock_guard L(Self->Lock);
        Self->At.push_back(TClock::now());
        N = Self->At.size();
      }
      Self->Changed.notify_all();
      if (N == 1) std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the late callback
    }
    bool Wait(size_t N) {
      std::unique_lock L(Lock);
      return Changed.wait_for(L, std::chrono::seconds(5), [&] { return At.size() >= N; });
    }
  } Done;
  TWaveHandle H = 0;
  ASSERT_EQ(WaveOpen(TWaveDir::Out, &H, 0, &ALaw, &TDone::Proc, reinterpret_cast<uintptr_t>(&Done), CALLBACK_FUNCTION), 0u);
  TBuffers B(3, 400);  // 50 ms each
  for (auto& Hd : B.Headers) ASSERT_EQ(WavePrepareHeader(TWaveDir::Out, H, &Hd, sizeof Hd), 0u);
  const auto Start = TClock::now();
  ASSERT_EQ(WaveOutWrite(H, &B.Headers[0], sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(WaveOutWrite(H, &B.Headers[1], sizeof(WAVEHDR)), 0u);
  ASSERT_TRUE(Done.Wait(2));
  // Pacing: the third buffer comes well after the audio ran out (at 100 ms).
  std::this_thread::sleep_until(Start + std::chrono::milliseconds(200));
  const auto Third = TClock::now();
  ASSERT_EQ(WaveOutWrite(H, &B.Headers[2], sizeof(WAVEHDR)), 0u);
  ASSERT_TRUE(Done.Wait(3));
  {
    std::lock_guard L(Done.Lock);
    EXPECT_GE(Done.At[0] - Start, std::chrono::milliseconds(49));
    // The second buffer ends 100 ms after the start, not 30 ms later.
    EXPECT_GE(Done.At[1] - Start, std::chrono::milliseconds(99));
    EXPECT_LT(Done.At[1] - Start, std::chrono::milliseconds(125));
    // The third came after the audio ran out: it plays from its arrival.
    EXPECT_GE(Done.At[2] - Third, std::chrono::milliseconds(49));
  }
  for (auto& Hd : B.Headers) ASSERT_EQ(WaveUnprepareHeader(TWaveDir::Out, H, &Hd, sizeof Hd), 0u);
  ASSERT_EQ(WaveClose(TWaveDir::Out, H), 0u);
}

TEST_F(VirtualWave, PlaybackWritesAnUnderrunAsSilenceWhenAskedAndAsItPlays) {
  for (const bool Gaps : {false, true}) {
    SCOPED_TRACE(Gaps ? "gaps=silence" : "default");
    TVirtualWaveDevice D = Ear("Ear");
    D.FileName = (FDir.Path() / "played.raw").string();
    D.GapsAsSilence = Gaps;
    TVirtualDevices Installed({D});
    TListener L;
    TWaveHandle H = 0;
    ASSERT_EQ(WaveOpen(TWaveDir::Out, &H, 0, &ALaw, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION), 0u);
    TBuffers B(2, 400);  // 50 ms each
    B.Bytes[0] = std::string(400, 'a');
    B.Bytes[1] = std::string(400, 'b');
    for (size_t I = 0; I < 2; ++I) B.Headers[I].lpData = B.Bytes[I].data();
    for (auto& Hd : B.Headers) ASSERT_EQ(WavePrepareHeader(TWaveDir::Out, H, &Hd, sizeof Hd), 0u);
    ASSERT_EQ(WaveOutWrite(H, &B.Headers[0], sizeof(WAVEHDR)), 0u);
    ASSERT_TRUE(L.WaitCalls(2));  // opened, played
    // Written as it was played, not when the file closes.
    EXPECT_EQ(std::filesystem::file_size(D.FileName), 400u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing queued: 100 ms of underrun
    ASSERT_EQ(WaveOutWrite(H, &B.Headers[1], sizeof(WAVEHDR)), 0u);
    ASSERT_TRUE(L.WaitCalls(3));
    for (auto& Hd : B.Headers) ASSERT_EQ(WaveUnprepareHeader(TWaveDir::Out, H, &Hd, sizeof Hd), 0u);
    ASSERT_EQ(WaveClose(TWaveDir::Out, H), 0u);
    const std::string Played = TestSupport::ReadFile(D.FileName);
    ASSERT_GE(Played.size(), 800u);
    EXPECT_EQ(Played.substr(0, 400), B.Bytes[0]);
    EXPECT_EQ(Played.substr(Played.size() - 400), B.Bytes[1]);
    const size_t Silence = Played.size() - 800;
    if (Gaps) {
      EXPECT_GE(Silence, 750u);  // 100 ms and the wake-ups' lateness
      EXPECT_LE(Silence, 1600u);
      EXPECT_EQ(Played.substr(400, Silence), std::string(Silence, static_cast<char>(ALawSilence)));
    } else {
      EXPECT_EQ(Silence, 0u);
    }
  }
}

TEST_F(VirtualWave, FaultsFailTheirCallsAndOpenCounts) {
  TVirtualDevices Installed({Mic("Mic", {{TWaveFaultOp::Open, 1, MMSYSERR_ALLOCATED},
                                          {TWaveFaultOp::Queue, 2, MMSYSERR_NOMEM},
                                          {TWaveFaultOp::Start, 0, MMSYSERR_ERROR}})});
  TListener L;
  TWaveHandle H = 0;
  EXPECT_EQ(WaveOpen(TWaveDir::In, &H, 0, &ALaw, &TListener::Proc, 0, CALLBACK_FUNCTION), MMSYSERR_ALLOCATED);
  ASSERT_EQ(WaveOpen(TWaveDir::In, &H, 0, &ALaw, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION), 0u);
  TBuffers B(3, 160);
  for (auto& Hd : B.Headers) ASSERT_EQ(WavePrepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
  EXPECT_EQ(WaveInAddBuffer(H, &B.Headers[0], sizeof(WAVEHDR)), 0u);
  EXPECT_EQ(WaveInAddBuffer(H, &B.Headers[1], sizeof(WAVEHDR)), MMSYSERR_NOMEM);
  EXPECT_EQ(WaveInAddBuffer(H, &B.Headers[2], sizeof(WAVEHDR)), 0u);
  EXPECT_EQ(WaveInStart(H), MMSYSERR_ERROR);
  EXPECT_EQ(WaveReset(TWaveDir::In, H), 0u);
  EXPECT_EQ(L.Messages(), (std::vector<uint32_t>{WIM_OPEN, WIM_DATA, WIM_DATA}));
  for (auto& Hd : B.Headers) EXPECT_EQ(WaveUnprepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
  EXPECT_EQ(WaveClose(TWaveDir::In, H), 0u);
}

TEST_F(VirtualWave, AVanishingDeviceGivesItsBuffersBackClosesAndComesBackLater) {
  TVirtualWaveDevice D = Mic("Loose Mic");
  D.VanishAfterMs = 100;
  D.AbsentMs = 500;
  TVirtualDevices Installed({Mic("Fixed Mic"), D});
  ASSERT_EQ(WaveGetNumDevs(TWaveDir::In), 2u);
  TListener L;
  TWaveHandle H = 0;
  ASSERT_EQ(WaveOpen(TWaveDir::In, &H, 1, &ALaw, &TListener::Proc, reinterpret_cast<uintptr_t>(&L), CALLBACK_FUNCTION), 0u);
  TBuffers B(2, 8000);
  for (auto& Hd : B.Headers) {
    ASSERT_EQ(WavePrepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
    ASSERT_EQ(WaveInAddBuffer(H, &Hd, sizeof Hd), 0u);
  }
  ASSERT_EQ(WaveInStart(H), 0u);
  ASSERT_TRUE(L.WaitCalls(4));
  EXPECT_EQ(L.Messages(), (std::vector<uint32_t>{WIM_OPEN, WIM_DATA, WIM_DATA, WIM_CLOSE}));
  EXPECT_EQ(WaveGetNumDevs(TWaveDir::In), 1u);
  EXPECT_EQ(WaveInAddBuffer(H, &B.Headers[0], sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
  EXPECT_EQ(WaveReset(TWaveDir::In, H), 0u);
  for (auto& Hd : B.Headers) EXPECT_EQ(WaveUnprepareHeader(TWaveDir::In, H, &Hd, sizeof Hd), 0u);
  EXPECT_EQ(WaveClose(TWaveDir::In, H), 0u);
  EXPECT_EQ(L.Messages().size(), 4u);  // one close notification only
  EXPECT_TRUE(TestSupport::WaitUntil([] { return WaveGetNumDevs(TWaveDir::In) == 2; })) << "the device came back";
}
