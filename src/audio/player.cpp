#include "audio/player.h"

#include <cstring>
#include <new>

#include "audio/device_select.h"
#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"

using namespace Platform;

namespace {
constexpr uintptr_t Free = 1;
constexpr uintptr_t Busy = 0;
}  // namespace

TPlayer::TPlayer(TPlayerSession& Session) : FSession(Session) {}

TPlayer::~TPlayer() {
  if (FState == 2) Reset();
  FBuffers.clear();
  FHeaders.clear();
}

uintptr_t TPlayer::Marker(const WAVEHDR& H) {
  return std::atomic_ref<uintptr_t>(const_cast<uintptr_t&>(H.dwUser)).load(std::memory_order_acquire);
}

void TPlayer::SetMarker(WAVEHDR& H, uintptr_t Value) {
  std::atomic_ref<uintptr_t>(H.dwUser).store(Value, std::memory_order_release);
}

int32_t TPlayer::ReserveRing() {
  const int32_t Count = FSession.ReceiveBufCount();
  const int32_t Payload = FSession.ReceivePayloadBytes();
  // One take from the receive buffer (up to Count packets) goes into one
  // playback buffer; settings that would overrun it get no ring at all.
  if (Count < 1 || Count > MaxBufCount) {
    WriteLog(Format("ReceiveBufCount %d is outside 1 to %d; the player has no buffers", Count, MaxBufCount));
    return -3;
  }
  const int64_t Take = int64_t{Count} * Payload;
  if (Payload < 1 || Take > BufferBytes) {
    WriteLog(Format("A receive take of %lld bytes (%d x %d) does not fit a playback buffer of %u bytes; "
                    "the player has no buffers",
                    static_cast<long long>(Take), Count, Payload, BufferBytes));
    return -4;
  }
  try {
    FHeaders.resize(static_cast<size_t>(Count));
    for (auto& H : FHeaders) H.reset(new WAVEHDR{});
  } catch (const std::bad_alloc&) {
    WriteLog("Error allocating wave header memory.");
    return -3;
  }
  try {
    FBuffers.resize(static_cast<size_t>(Count));
    for (size_t I = 0; I < FBuffers.size(); ++I) {
      FBuffers[I].reset(new char[BufferBytes]);
      FHeaders[I]->lpData = FBuffers[I].get();
    }
  } catch (const std::bad_alloc&) {
    WriteLog("Error allocating wave buffer memory.");
    return -4;
  }
  FRingReady = true;
  return 0;
}

int32_t TPlayer::SelectDevice() {
  return SelectWaveDevice(TWaveDir::Out, PlayDeviceID, FDeviceId, [this] { return ReserveRing(); });
}

bool TPlayer::FindDeviceByName() { return FindWaveDeviceByName(TWaveDir::Out, PlayDeviceID, FDeviceId); }

void TPlayer::LogDeviceList() { LogWaveDeviceList(TWaveDir::Out); }

void TPlayer::Start() {
  if (FRunning) return;
  if (FRingReady) Open();
  FRunning = true;
}

int32_t TPlayer::Open() {
  FNextIndex = 0;
  FHandle = 0;
  const MMRESULT R = WaveOpen(TWaveDir::Out, &FHandle, static_cast<uint32_t>(FDeviceId), &FSession.AudioFormat(),
                              &TPlayer::WaveOutProc, reinterpret_cast<uintptr_t>(this), WaveOpenFlags(FDeviceId));
  if (R != MMSYSERR_NOERROR) {
    LogOpenFailure(TWaveDir::Out, R);
    return -1;
  }
  if (DoLog) LogDeviceOpened(TWaveDir::Out, FDeviceId, FHandle);
  FOpened = true;
  for (size_t I = 0; I < FHeaders.size(); ++I) {
    WAVEHDR& H = *FHeaders[I];
    H = WAVEHDR{};
    H.dwBufferLength = static_cast<uint32_t>(FSession.ReceivePayloadBytes());
    H.lpData = FBuffers[I].get();
    SetMarker(H, Free);
  }
  for (auto& H : FHeaders) {
    if (WavePrepareHeader(TWaveDir::Out, FHandle, H.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
      Close();
      WriteLog("Error preparing header for playback.");
      return -2;
    }
  }
  FState = 2;
  return 0;
}

bool TPlayer::IsReady() const {
  return FRunning && FRingReady && FNextIndex < MaxBufCount && FNextIndex < static_cast<int32_t>(FHeaders.size()) &&
         Marker(*FHeaders[static_cast<size_t>(FNextIndex)]) == Free;
}

int32_t TPlayer::QueuedCount() const {
  if (!FRingReady) return 0;
  int32_t N = 0;
  for (const auto& H : FHeaders)
    if (Marker(*H) == Busy) ++N;
  return N;
}

int32_t TPlayer::Play(const void* Data, int32_t Size) {
  if (!FRunning) return -1;
  try {
    if (!FRingReady) throw Exception("the player has no buffers");
    if (Size < 0 || static_cast<uint32_t>(Size) > BufferBytes)
      throw Exception(Format("%d bytes do not fit a playback buffer of %u bytes", Size, BufferBytes));
    WAVEHDR& H = *FHeaders[static_cast<size_t>(FNextIndex)];
    if (Marker(H) == Free) {
      if (Size > 0) std::memcpy(H.lpData, Data, static_cast<size_t>(Size));
      H.dwBufferLength = static_cast<uint32_t>(Size);
      SetMarker(H, Busy);
      const MMRESULT R = WaveOutWrite(FHandle, &H, sizeof(WAVEHDR));
      FRunning = R == MMSYSERR_NOERROR;
      if (R == MMSYSERR_NOERROR) {
        FNextIndex = (FNextIndex + 1) % static_cast<int32_t>(FHeaders.size());
        FDropCount = 0;
        return 0;
      }
      if (DoLog) WriteLog("Error play buffer: " + std::to_string(R) + " \"" + WaveErrorText(TWaveDir::Out, R, 2048) + "\"");
      return -1;
    }
    ++FDropCount;
    if (DoLog) WriteLog(Format("Player overflow detected - Drop network packet [size=%d, seq=%d]", Size, FDropCount));
    if (FDropCount == static_cast<int32_t>(FHeaders.size())) {
      WriteLog("Player stopped - Data do not processing");
      FRunning = false;
    }
  } catch (const Exception& E) {
    WriteLog("Play Error: " + E.Message());
  } catch (const std::exception& E) {
    WriteLog(std::string("Play Error: ") + E.what());
  }
  return -1;
}

void TPlayer::Stop() {
  if (FRunning) {
    Reset();
    FRunning = false;
  }
}

void TPlayer::Reset() {
  FState = 0;
  // Every written buffer comes back (WOM_DONE) before the reset returns.
  if (FOpened) WaveReset(TWaveDir::Out, FHandle);
  Close();
}

void TPlayer::Close() {
  if (!FOpened) return;
  // Unprepared before closing, as the wave system expects of its headers.
  for (auto& H : FHeaders)
    if ((H->dwFlags & WHDR_PREPARED) &&
        WaveUnprepareHeader(TWaveDir::Out, FHandle, H.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
      WriteLog("Error in waveOutUnprepareHeader ()");
  if (WaveClose(TWaveDir::Out, FHandle) != MMSYSERR_NOERROR) WriteLog("Error closing oputput device.");
  FOpened = false;
}

void TPlayer::WaveOutProc(TWaveHandle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t) noexcept {
  auto* Self = reinterpret_cast<TPlayer*>(Instance);
  switch (Msg) {
    case WOM_CLOSE:
      Self->FRunning = false;
      break;
    case WOM_DONE:
      SetMarker(*reinterpret_cast<WAVEHDR*>(Param1), Free);
      break;
    default:
      break;
  }
}
