#include "audio/player.h"

#include <cstring>

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
  if (Count < 1 || Count > TWaveDevice::MaxBuffers) {
    WriteLog(Format("ReceiveBufCount %d is outside 1 to %d; the player has no buffers", Count,
                    TWaveDevice::MaxBuffers));
    return -3;
  }
  const int64_t Take = int64_t{Count} * Payload;
  if (Payload < 1 || Take > TWaveDevice::BufferBytes) {
    WriteLog(Format("A receive take of %lld bytes (%d x %d) does not fit a playback buffer of %u bytes; "
                    "the player has no buffers",
                    static_cast<long long>(Take), Count, Payload, TWaveDevice::BufferBytes));
    return -4;
  }
  return FDevice.Reserve(Count);
}

int32_t TPlayer::SelectDevice() {
  return SelectWaveDevice(TWaveDir::Out, FSession.PlayDeviceID(), FDeviceId, [this] { return ReserveRing(); });
}

bool TPlayer::FirstDeviceByDefault() const {
  const std::string& Configured = FSession.PlayDeviceID();
  return DeviceIdFromText(Configured) == -2 && SplitWholeDeviceNames(Configured).empty();
}

void TPlayer::Start() {
  if (!FRunning) FRunning = FDevice.Reserved() && Open() == 0;
}

int32_t TPlayer::Open() {
  FNextIndex = 0;
  // Every buffer of the ring starts free.
  const int32_t R = FDevice.Open(FDeviceId, FSession.AudioFormat(),
                                 static_cast<uint32_t>(FSession.ReceivePayloadBytes()), Free);
  if (R == 0) FState = 2;
  return R;
}

bool TPlayer::IsReady() const {
  return FRunning && FDevice.Reserved() && FNextIndex < TWaveDevice::MaxBuffers && FNextIndex < FDevice.Count() &&
         Marker(FDevice.Header(FNextIndex)) == Free;
}

int32_t TPlayer::QueuedCount() const {
  if (!FDevice.Reserved()) return 0;
  int32_t N = 0;
  for (int32_t I = 0; I < FDevice.Count(); ++I)
    if (Marker(FDevice.Header(I)) == Busy) ++N;
  return N;
}

uint32_t TPlayer::QueuedMs() const {
  const uint32_t BytesPerSecond = FSession.AudioFormat().nAvgBytesPerSec;
  if (!FDevice.Reserved() || BytesPerSecond == 0) return 0;
  // The lengths are the session thread's own writes: the device only reads them.
  uint64_t Bytes = 0;
  for (int32_t I = 0; I < FDevice.Count(); ++I)
    if (const WAVEHDR& H = FDevice.Header(I); Marker(H) == Busy) Bytes += H.dwBufferLength;
  return static_cast<uint32_t>(Bytes * 1000 / BytesPerSecond);
}

int32_t TPlayer::Play(const void* Data, int32_t Size) {
  if (!FRunning) return -1;
  try {
    if (!FDevice.Reserved()) throw Exception("the player has no buffers");
    if (Size < 0 || static_cast<uint32_t>(Size) > TWaveDevice::BufferBytes)
      throw Exception(Format("%d bytes do not fit a playback buffer of %u bytes", Size, TWaveDevice::BufferBytes));
    WAVEHDR& H = FDevice.Header(FNextIndex);
    if (Marker(H) == Free) {
      if (Size > 0) std::memcpy(H.lpData, Data, static_cast<size_t>(Size));
      H.dwBufferLength = static_cast<uint32_t>(Size);
      SetMarker(H, Busy);
      const MMRESULT R = FDevice.Queue(H);
      FRunning = R == MMSYSERR_NOERROR;
      if (R == MMSYSERR_NOERROR) {
        FNextIndex = (FNextIndex + 1) % FDevice.Count();
        FDropCount = 0;
        return 0;
      }
      if (DoLog) WriteLog("Error play buffer: " + std::to_string(R) + " \"" + WaveErrorText(TWaveDir::Out, R, 2048) + "\"");
      return -1;
    }
    ++FDropCount;
    if (DoLog) WriteLog(Format("Player overflow detected - Drop network packet [size=%d, seq=%d]", Size, FDropCount));
    if (FDropCount == FDevice.Count()) {
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
  // Every written buffer comes back (WOM_DONE) before the device closes.
  FDevice.Close();
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
