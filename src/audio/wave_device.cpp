#include "audio/wave_device.h"

#include <new>

#include "audio/device_select.h"
#include "config/start_values.h"
#include "log/log.h"

using namespace Platform;

namespace {

// The words of each side's lines.
struct TDeviceWords {
  const char* PrepareFailed;
  const char* ResetFailed;  // nullptr: the side does not check its reset
  const char* UnprepareFailed;
  const char* CloseFailed;
};

const TDeviceWords& DeviceWords(TWaveDir Dir) {
  static const TDeviceWords In{"Error preparing header for recording", "Error in ResetRecord",
                               "Error in waveInUnprepareHeader ()", "Error closing input device."};
  static const TDeviceWords Out{"Error preparing header for playback.", nullptr, "Error in waveOutUnprepareHeader ()",
                                "Error closing oputput device."};
  return Dir == TWaveDir::In ? In : Out;
}

}  // namespace

TWaveDevice::TWaveDevice(TWaveDir Dir, TWaveCallback Callback, uintptr_t Instance)
    : FDir(Dir), FCallback(Callback), FInstance(Instance) {}

TWaveDevice::~TWaveDevice() { Close(); }

int32_t TWaveDevice::Reserve(int32_t Count) {
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
  FReserved = true;
  return 0;
}

int32_t TWaveDevice::Open(int32_t DeviceId, const TWaveFormat& Format, uint32_t Length, uintptr_t User) {
  FHandle = 0;
  FHandedOver = false;
  const MMRESULT R = WaveOpen(FDir, &FHandle, static_cast<uint32_t>(DeviceId), &Format, FCallback, FInstance,
                              WaveOpenFlags(DeviceId));
  if (R != MMSYSERR_NOERROR) {
    LogOpenFailure(FDir, R);
    return -1;
  }
  if (DoLog) LogDeviceOpened(FDir, DeviceId, FHandle);
  FOpen = true;
  for (size_t I = 0; I < FHeaders.size(); ++I) {
    WAVEHDR& H = *FHeaders[I];
    H = WAVEHDR{};
    H.lpData = FBuffers[I].get();
    H.dwBufferLength = Length;
    H.dwUser = User;
  }
  for (auto& H : FHeaders) {
    if (WavePrepareHeader(FDir, FHandle, H.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
      Close();
      WriteLog(DeviceWords(FDir).PrepareFailed);
      return -2;
    }
  }
  return 0;
}

MMRESULT TWaveDevice::Queue(WAVEHDR& Header) {
  FHandedOver = true;
  return FDir == TWaveDir::In ? WaveInAddBuffer(FHandle, &Header, sizeof(WAVEHDR))
                              : WaveOutWrite(FHandle, &Header, sizeof(WAVEHDR));
}

MMRESULT TWaveDevice::Start() {
  FHandedOver = true;
  return WaveInStart(FHandle);
}

void TWaveDevice::Close() {
  if (!FOpen) return;
  const TDeviceWords& W = DeviceWords(FDir);
  // Headers still with the device can be neither unprepared nor closed over.
  if (FHandedOver && WaveReset(FDir, FHandle) != MMSYSERR_NOERROR && W.ResetFailed) WriteLog(W.ResetFailed);
  for (auto& H : FHeaders)
    if ((H->dwFlags & WHDR_PREPARED) &&
        WaveUnprepareHeader(FDir, FHandle, H.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
      WriteLog(W.UnprepareFailed);
  if (WaveClose(FDir, FHandle) != MMSYSERR_NOERROR) WriteLog(W.CloseFailed);
  FOpen = false;
}
