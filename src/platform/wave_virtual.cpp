// Virtual wave devices (see wave_virtual.h): the device table and the device
// streams, paced by the steady clock.

#include "platform/wave_virtual.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>

#include "platform/g711.h"
#include "platform/mutex.h"
#include "platform/wave_backend.h"
#include "platform/wave_stream.h"

namespace Platform {

using Detail::TWaveStream;

namespace {

using TClock = std::chrono::steady_clock;

struct TEntry {
  explicit TEntry(TVirtualWaveDevice D) : Def(std::move(D)) {}
  const TVirtualWaveDevice Def;
  std::atomic<uint32_t> CapsCalls{0};
  std::atomic<uint32_t> OpenCalls{0};
  std::atomic<int64_t> AbsentUntil{0};  // steady clock, nanoseconds since its epoch
};

TMutex GTableLock;
std::vector<std::shared_ptr<TEntry>> GTable GUARDED_BY(GTableLock);

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
}

MMRESULT FaultFor(const std::vector<TWaveFault>& Faults, TWaveFaultOp Op, uint32_t Call) {
  for (const TWaveFault& F : Faults)
    if (F.Op == Op && (F.Nth == 0 || F.Nth == Call)) return F.Code;
  return MMSYSERR_NOERROR;
}

// The present devices of one direction, in their order.
std::vector<std::shared_ptr<TEntry>> Present(TWaveDir Dir) {
  const int64_t Now = NowNs();
  std::vector<std::shared_ptr<TEntry>> Result;
  TLockGuard L(GTableLock);
  for (const auto& E : GTable)
    if (E->Def.Dir == Dir && E->AbsentUntil.load() <= Now) Result.push_back(E);
  return Result;
}

uint16_t Get16(const std::string& B, size_t At) {
  return static_cast<uint16_t>(static_cast<uint8_t>(B[At]) | static_cast<uint8_t>(B[At + 1]) << 8);
}
uint32_t Get32(const std::string& B, size_t At) { return Get16(B, At) | static_cast<uint32_t>(Get16(B, At + 2)) << 16; }
void Put16(std::string& B, uint16_t V) {
  B += static_cast<char>(V & 0xFF);
  B += static_cast<char>(V >> 8);
}
void Put32(std::string& B, uint32_t V) {
  Put16(B, static_cast<uint16_t>(V & 0xFFFF));
  Put16(B, static_cast<uint16_t>(V >> 16));
}

// The A-law bytes a capture device plays from a file: a WAV file (A-law, or
// 16-bit PCM that is encoded here, channels mixed) at the opened rate, or raw
// A-law bytes.
MMRESULT LoadCaptureFile(const std::string& FileName, const TWaveFormat& Format, std::vector<uint8_t>& Out) {
  std::ifstream In(FileName, std::ios::binary);
  if (!In) return MMSYSERR_ERROR;
  const std::string B((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  if (B.size() >= 12 && B.compare(0, 4, "RIFF") == 0 && B.compare(8, 4, "WAVE") == 0) {
    uint16_t Tag = 0, Channels = 0, Bits = 0;
    uint32_t Rate = 0;
    bool HaveFormat = false;
    size_t At = 12;
    while (At + 8 <= B.size()) {
      const std::string Id = B.substr(At, 4);
      const size_t Len = std::min<size_t>(Get32(B, At + 4), B.size() - At - 8);
      const size_t Body = At + 8;
      if (Id == "fmt " && Len >= 16) {
        Tag = Get16(B, Body);
        Channels = Get16(B, Body + 2);
        Rate = Get32(B, Body + 4);
        Bits = Get16(B, Body + 14);
        HaveFormat = true;
      } else if (Id == "data" && HaveFormat) {
        if (Rate != Format.nSamplesPerSec || Channels == 0) return WAVERR_BADFORMAT;
        if (Tag == WaveFormatALaw && Bits == 8 && Channels == 1) {
          Out.assign(B.begin() + static_cast<ptrdiff_t>(Body), B.begin() + static_cast<ptrdiff_t>(Body + Len));
        } else if (Tag == 1 && Bits == 16) {
          const size_t Frame = 2u * Channels;
          for (size_t P = Body; P + Frame <= Body + Len; P += Frame) {
            int32_t Sum = 0;
            for (size_t C = 0; C < Channels; ++C) Sum += static_cast<int16_t>(Get16(B, P + 2 * C));
            Out.push_back(LinearToALaw(static_cast<int16_t>(Sum / Channels)));
          }
        } else {
          return WAVERR_BADFORMAT;
        }
        return Out.empty() ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
      }
      At = Body + Len + (Len & 1);
    }
    return MMSYSERR_ERROR;
  }
  Out.assign(B.begin(), B.end());
  return Out.empty() ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
}

// Where a playback device writes what it plays.
class TSink {
public:
  TSink(const std::string& FileName, const TWaveFormat& Format) : FFormat(Format) {
    const size_t N = FileName.size();
    FWav = N >= 4 && (FileName.compare(N - 4, 4, ".wav") == 0 || FileName.compare(N - 4, 4, ".WAV") == 0);
    FOut.open(FileName, std::ios::binary | std::ios::trunc);
    if (FWav) WriteHeader();
  }
  TSink(const TSink&) = delete;
  TSink& operator=(const TSink&) = delete;
  ~TSink() { Finish(); }

  bool Ok() const { return static_cast<bool>(FOut); }
  // Flushed at once: a reader of the file sees what was played as it is played.
  void Write(const char* Data, size_t Size) {
    FOut.write(Data, static_cast<std::streamsize>(Size));
    FOut.flush();
    FBytes += Size;
  }
  // Sets the sizes of a WAV file and closes it.
  void Finish() {
    if (!FOut.is_open()) return;
    if (FWav) {
      FOut.seekp(0);
      WriteHeader();
    }
    FOut.close();
  }

private:
  void WriteHeader() {
    std::string H = "RIFF";
    Put32(H, static_cast<uint32_t>(50 + FBytes));
    H += "WAVEfmt ";
    Put32(H, 18);
    Put16(H, FFormat.wFormatTag);
    Put16(H, FFormat.nChannels);
    Put32(H, FFormat.nSamplesPerSec);
    Put32(H, FFormat.nAvgBytesPerSec);
    Put16(H, FFormat.nBlockAlign);
    Put16(H, FFormat.wBitsPerSample);
    Put16(H, 0);
    H += "fact";
    Put32(H, 4);
    Put32(H, static_cast<uint32_t>(FBytes / FFormat.nBlockAlign));
    H += "data";
    Put32(H, static_cast<uint32_t>(FBytes));
    FOut.write(H.data(), static_cast<std::streamsize>(H.size()));
  }

  const TWaveFormat FFormat;
  bool FWav = false;
  std::ofstream FOut;
  uint64_t FBytes = 0;
};

class TVirtualStream final : public TWaveStream {
public:
  TVirtualStream(TWaveDir Dir, TWaveCallback Callback, uintptr_t Instance, std::shared_ptr<TEntry> Entry,
                 const TWaveFormat& Format, std::vector<uint8_t> Source, std::unique_ptr<TSink> Sink)
      : TWaveStream(Dir, Callback, Instance),
        FEntry(std::move(Entry)),
        FRate(Format.nAvgBytesPerSec),
        FSource(std::move(Source)),
        FSink(std::move(Sink)) {
    const TVirtualWaveDevice& D = FEntry->Def;
    FVanishAt = D.VanishAfterMs ? TClock::now() + std::chrono::milliseconds(D.VanishAfterMs) : TClock::time_point::max();
    if (D.ToneHz > 0) {
      FToneStep = 2.0 * 3.14159265358979323846 * D.ToneHz / Format.nSamplesPerSec;
      FToneAmplitude = std::min(32767.0, 32767.0 * std::pow(10.0, D.ToneLevelDb / 20.0));
      // A whole number of hertz repeats after rate / gcd(rate, hertz) samples:
      // that period is encoded once instead of every sample as it goes.
      const uint32_t Rate = Format.nSamplesPerSec;
      if (D.ToneHz == std::floor(D.ToneHz) && D.ToneHz <= Rate) {
        const uint32_t Period = Rate / std::gcd(Rate, static_cast<uint32_t>(D.ToneHz));
        FTonePeriod.resize(Period);
        for (uint32_t I = 0; I < Period; ++I) FTonePeriod[I] = ToneSample(I);
      }
    }
  }

  ~TVirtualStream() override {
    StopThread();
    if (FSink) FSink->Finish();
  }

protected:
  TPump Pump(TUniqueLock& L) override REQUIRES(FLock) {
    WAVEHDR* H = Front();
    const bool Moving = H != nullptr && (Dir() == TWaveDir::Out || Started());
    if (!Moving) {
      if (FVanishAt == TClock::time_point::max())
        FWake.wait(L.Native());
      else
        FWake.wait_until(L.Native(), FVanishAt);
      return Vanished() ? Lost() : TPump::Going;
    }
    const TClock::time_point Due = Dir() == TWaveDir::In ? CaptureDue(H) : PlaybackDue(H);
    FWake.wait_until(L.Native(), std::min(Due, FVanishAt));
    if (ControlPending()) return TPump::Going;
    if (Vanished()) return Lost();
    if (TClock::now() < Due || Front() != H) return TPump::Going;
    if (Dir() == TWaveDir::In) {
      Produce(H->lpData, H->dwBufferLength);
      H->dwBytesRecorded = H->dwBufferLength;
      FProduced += H->dwBufferLength;
    } else if (FSink) {
      uint64_t GapNs = 0;
      if (FEntry->Def.GapsAsSilence && FPlayedUntil != TClock::time_point{} && FCurrentStart > FPlayedUntil)
        GapNs = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(FCurrentStart - FPlayedUntil).count());
      // The file is this thread's alone and the front header stays queued:
      // written with FLock released, so that the thread queueing the next
      // buffer never waits for the disk.
      // Nothing in between may throw: the silence is made before the unlock.
      const std::vector<char> Silence(static_cast<size_t>(GapNs * FRate / 1000000000u), static_cast<char>(ALawSilence));
      FLock.Unlock();
      if (!Silence.empty()) FSink->Write(Silence.data(), Silence.size());
      FSink->Write(H->lpData, H->dwBufferLength);
      FLock.Lock();
    }
    if (Dir() == TWaveDir::Out) {
      FPlayedUntil = Due;
      FCurrent = nullptr;
    }
    FQueuedAt.pop_front();
    Complete();
    return TPump::Going;
  }

  MMRESULT OnStart() override REQUIRES(FLock) {
    // Buffers queued before the start are filled from the start on.
    FClockStart = TClock::now();
    FProduced = 0;
    FCapturing = true;
    return MMSYSERR_NOERROR;
  }

  void OnQueued() override REQUIRES(FLock) { FQueuedAt.push_back(TClock::now()); }

  void OnStop() override REQUIRES(FLock) {
    WAVEHDR* H = Front();
    const TClock::time_point Now = TClock::now();
    if (Dir() == TWaveDir::In && H != nullptr && FCapturing) {
      // The part of the front buffer that the device has filled so far.
      const uint64_t From = CaptureFrom();
      const uint64_t Due = BytesAt(Now);
      const uint32_t Part = Due > From ? static_cast<uint32_t>(std::min<uint64_t>(Due - From, H->dwBufferLength)) : 0;
      FProduced = From;
      Produce(H->lpData, Part);
      H->dwBytesRecorded = Part;
      FProduced += Part;
    } else if (Dir() == TWaveDir::Out && H != nullptr && FCurrent == H && FSink) {
      // The part of the front buffer played so far.
      const auto Played = std::chrono::duration_cast<std::chrono::nanoseconds>(Now - FCurrentStart).count();
      const uint64_t Part = Played <= 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(Played) * FRate / 1000000000u, H->dwBufferLength);
      FSink->Write(H->lpData, Part);
      FPlayedUntil = Now;
    }
    FCapturing = false;
    FCurrent = nullptr;
    FQueuedAt.clear();  // every queued header is coming back
  }

  void OnClose() override {
    TLockGuard L(FLock);
    if (FSink) FSink->Finish();
  }

  MMRESULT Fault(TWaveFaultOp Op) override {
    const uint32_t Call = ++FCalls[static_cast<size_t>(Op)];
    return FaultFor(FEntry->Def.Faults, Op, Call);
  }

private:
  bool Vanished() const { return TClock::now() >= FVanishAt; }

  TPump Lost() {
    const auto Absent = std::chrono::milliseconds(FEntry->Def.AbsentMs);
    FEntry->AbsentUntil.store(NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(Absent).count());
    return TPump::Lost;
  }

  // Bytes the device has produced by the time T since its start.
  uint64_t BytesAt(TClock::time_point T) const REQUIRES(FLock) {
    const auto Ns = std::chrono::duration_cast<std::chrono::nanoseconds>(T - FClockStart).count();
    return Ns <= 0 ? 0 : static_cast<uint64_t>(Ns) / 1000 * FRate / 1000000u;
  }
  TClock::time_point TimeOf(uint64_t Bytes) const REQUIRES(FLock) {
    return FClockStart + std::chrono::nanoseconds(static_cast<int64_t>(Bytes * 1000000u / FRate * 1000u));
  }

  // Where the front capture buffer begins, in bytes since the start: where the
  // one before it ended, or, when it was queued later than that, where the
  // clock was then. A sound card has nowhere to put what it takes while no
  // buffer is queued (an overrun): that audio is lost. So when this thread or
  // the process stood still, only the buffers that were queued come back at
  // once, never the whole interval missed.
  uint64_t CaptureFrom() const REQUIRES(FLock) { return std::max(FProduced, BytesAt(FQueuedAt.front())); }

  TClock::time_point CaptureDue(const WAVEHDR* H) REQUIRES(FLock) {
    FProduced = CaptureFrom();
    return TimeOf(FProduced + H->dwBufferLength);
  }

  // A buffer plays on from where the one before it ended, as a sound card
  // would, however late this thread wakes; only a buffer queued after that end
  // (an underrun) starts when it came.
  TClock::time_point PlaybackDue(WAVEHDR* H) REQUIRES(FLock) {
    if (FCurrent != H) {
      FCurrent = H;
      FCurrentStart = std::max(FQueuedAt.front(), FPlayedUntil);
      FCurrentEnd = FCurrentStart + std::chrono::nanoseconds(static_cast<int64_t>(uint64_t{H->dwBufferLength} * 1000000000u / FRate));
    }
    return FCurrentEnd;
  }

  uint8_t ToneSample(uint64_t Pos) const {
    return LinearToALaw(static_cast<int16_t>(std::lround(FToneAmplitude * std::sin(FToneStep * static_cast<double>(Pos)))));
  }

  // The source's bytes from position FProduced on.
  void Produce(char* Data, uint32_t Size) REQUIRES(FLock) {
    for (uint32_t I = 0; I < Size; ++I) {
      const uint64_t Pos = FProduced + I;
      uint8_t B = ALawSilence;
      if (!FSource.empty())
        B = FSource[Pos % FSource.size()];
      else if (!FTonePeriod.empty())
        B = FTonePeriod[Pos % FTonePeriod.size()];
      else if (FToneStep > 0)
        B = ToneSample(Pos);
      Data[I] = static_cast<char>(B);
    }
  }

  const std::shared_ptr<TEntry> FEntry;
  const uint32_t FRate;  // bytes per second
  const std::vector<uint8_t> FSource;
  const std::unique_ptr<TSink> FSink;  // device thread (and OnClose after the thread ended)
  // Set at construction, only read afterwards.
  double FToneStep = 0;
  double FToneAmplitude = 0;
  std::vector<uint8_t> FTonePeriod;  // one period of a whole-hertz tone, encoded
  TClock::time_point FVanishAt;
  std::array<std::atomic<uint32_t>, 8> FCalls{};  // per operation, from any calling thread
  std::deque<TClock::time_point> FQueuedAt GUARDED_BY(FLock);  // when each queued header came, in queue order
  // Capture clock.
  TClock::time_point FClockStart GUARDED_BY(FLock){};
  uint64_t FProduced GUARDED_BY(FLock) = 0;
  bool FCapturing GUARDED_BY(FLock) = false;  // started and not reset since
  // Playback clock.
  WAVEHDR* FCurrent GUARDED_BY(FLock) = nullptr;
  TClock::time_point FCurrentStart GUARDED_BY(FLock){};
  TClock::time_point FCurrentEnd GUARDED_BY(FLock){};
  TClock::time_point FPlayedUntil GUARDED_BY(FLock){};
};

}  // namespace

void SetVirtualWaveDevices(std::vector<TVirtualWaveDevice> Devices) {
  std::vector<std::shared_ptr<TEntry>> Table;
  for (auto& D : Devices) Table.push_back(std::make_shared<TEntry>(std::move(D)));
  TLockGuard L(GTableLock);
  GTable.swap(Table);
}

namespace Detail {

uint32_t VirtualWaveNumDevs(TWaveDir Dir) { return static_cast<uint32_t>(Present(Dir).size()); }

MMRESULT VirtualWaveGetDevCaps(TWaveDir Dir, uint32_t Index, TWaveCaps* Caps) {
  const auto List = Present(Dir);
  if (Index >= List.size()) return MMSYSERR_BADDEVICEID;
  const auto& E = List[Index];
  if (const MMRESULT F = FaultFor(E->Def.Faults, TWaveFaultOp::Caps, ++E->CapsCalls)) return F;
  CopyProductName(E->Def.Name, Caps);
  return MMSYSERR_NOERROR;
}

MMRESULT VirtualWaveOpen(TWaveDir Dir, uint32_t Index, const TWaveFormat& Format, TWaveCallback Callback,
                         uintptr_t Instance, std::shared_ptr<TWaveStream>& Stream) {
  const auto List = Present(Dir);
  if (Index >= List.size()) return MMSYSERR_BADDEVICEID;
  const auto& E = List[Index];
  if (const MMRESULT F = FaultFor(E->Def.Faults, TWaveFaultOp::Open, ++E->OpenCalls)) return F;
  if (Format.wFormatTag != WaveFormatALaw || Format.nChannels != 1 || Format.wBitsPerSample != 8 ||
      Format.nBlockAlign != 1 || Format.nAvgBytesPerSec != Format.nSamplesPerSec)
    return WAVERR_BADFORMAT;
  std::vector<uint8_t> Source;
  std::unique_ptr<TSink> Sink;
  if (Dir == TWaveDir::In && !E->Def.FileName.empty()) {
    if (const MMRESULT R = LoadCaptureFile(E->Def.FileName, Format, Source)) return R;
  } else if (Dir == TWaveDir::Out && !E->Def.FileName.empty()) {
    Sink = std::make_unique<TSink>(E->Def.FileName, Format);
    if (!Sink->Ok()) return MMSYSERR_ERROR;
  }
  Stream = std::make_shared<TVirtualStream>(Dir, Callback, Instance, E, Format, std::move(Source), std::move(Sink));
  return MMSYSERR_NOERROR;
}

}  // namespace Detail
}  // namespace Platform
