#include "audio/recorder.h"

#include <new>

#include "audio/device_select.h"
#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"

using namespace Platform;

TRecorder::TRecorder(TRecorderSession& Session) : FSession(Session) {}

TRecorder::~TRecorder() {
  if (FCapturing) Reset();
  // The buffers and headers go with their owners (unique_ptr), buffers first.
  for (auto& B : FBuffers) B.reset();
  for (auto& H : FHeaders) H.reset();
}

int32_t TRecorder::ReserveBuffers() {
  for (auto& H : FHeaders) {
    H.reset(new (std::nothrow) WAVEHDR{});
    if (!H) {
      WriteLog("Error allocating wave header memory.");
      return -3;
    }
  }
  for (int I = 0; I < BufferCount; ++I) {
    FBuffers[I].reset(new (std::nothrow) char[BufferBytes]);
    if (!FBuffers[I]) {
      WriteLog("Error allocating wave buffer memory.");
      return -4;
    }
    FHeaders[I]->lpData = FBuffers[I].get();
  }
  return 0;
}

int32_t TRecorder::SelectDevice() {
  return SelectWaveDevice(TWaveDir::In, RecDeviceID, FDeviceId, [this] { return ReserveBuffers(); });
}

bool TRecorder::FindDeviceByName() { return FindWaveDeviceByName(TWaveDir::In, RecDeviceID, FDeviceId); }

void TRecorder::LogDeviceList() { LogWaveDeviceList(TWaveDir::In); }

void TRecorder::Start() {
  if (!FRunning) FRunning = Open() == 0;
}

int32_t TRecorder::Open() {
  // The device is offered exactly one packet's payload per buffer, which must
  // fit the buffer.
  const int32_t Payload = FSession.SendPayloadBytes();
  if (Payload < 1 || Payload > static_cast<int32_t>(BufferBytes)) {
    WriteLog(Format("Send payload of %d bytes does not fit a capture buffer of %u bytes; recorder not opened",
                    Payload, BufferBytes));
    return -7;
  }
  if (!FHeaders[0] || !FBuffers[BufferCount - 1]) return -7;  // SelectDevice reserved nothing

  FNextIndex = 0;
  FHandle = 0;
  const MMRESULT R = WaveOpen(TWaveDir::In, &FHandle, static_cast<uint32_t>(FDeviceId), &FSession.AudioFormat(),
                              &TRecorder::WaveInProc, reinterpret_cast<uintptr_t>(this), WaveOpenFlags(FDeviceId));
  if (R != MMSYSERR_NOERROR) {
    LogOpenFailure(TWaveDir::In, R);
    return -1;
  }
  if (DoLog) LogDeviceOpened(TWaveDir::In, FDeviceId, FHandle);
  FOpened = true;
  for (int I = 0; I < BufferCount; ++I) {
    *FHeaders[I] = WAVEHDR{};
    FHeaders[I]->lpData = FBuffers[I].get();
    FHeaders[I]->dwBufferLength = static_cast<uint32_t>(Payload);
  }
  for (auto& H : FHeaders) {
    if (WavePrepareHeader(TWaveDir::In, FHandle, H.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
      Close();
      WriteLog("Error preparing header for recording");
      return -2;
    }
  }
  if (QueueNext() != 0) {
    Close();
    WriteLog("Error adding first buffer to recorder");
    return -3;
  }
  if (WaveInStart(FHandle) != MMSYSERR_NOERROR) {
    // The first buffer is queued: it must come back before the device closes.
    Reset();
    WriteLog("Error starting wave record");
    return -5;
  }
  FCapturing = true;
  for (int N = 1; N < BufferCount; ++N) {
    if (QueueNext() != 0) {
      Reset();
      WriteLog("Error adding buffer number " + std::to_string(N) + " to recorder");
      return -6;
    }
  }
  return 0;
}

int32_t TRecorder::QueueNext() {
  if (!FQueueLock.Wait(0)) return -1;
  WAVEHDR* H = FHeaders[FNextIndex].get();
  H->dwBytesRecorded = 0;
  const MMRESULT R = WaveInAddBuffer(FHandle, H, sizeof(WAVEHDR));
  FRunning = R == MMSYSERR_NOERROR;
  if (R == MMSYSERR_NOERROR) FNextIndex = (FNextIndex + 1) % BufferCount;
  FQueueLock.Set();
  if (R == MMSYSERR_NOERROR) return 0;
  if (DoLog) WriteLog("Error adding buffer: " + std::to_string(R));
  return -1;
}

void TRecorder::OnBufferFilled(WAVEHDR* Header) {
  if (!FRunning || !FCapturing) return;
  FSession.AddRecordedData(*Header);
  QueueNext();
}

void TRecorder::Stop() {
  if (FRunning) {
    Reset();
    FRunning = false;
  }
}

void TRecorder::Reset() {
  FCapturing = false;
  // Taken for good: nothing is queued any more while the device is reset and closed.
  FQueueLock.Wait(WaitInfinite);
  if (WaveReset(TWaveDir::In, FHandle) != MMSYSERR_NOERROR) WriteLog("Error in ResetRecord");
  Close();
}

void TRecorder::Close() {
  if (!FOpened) return;
  for (auto& H : FHeaders)
    if (WaveUnprepareHeader(TWaveDir::In, FHandle, H.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
      WriteLog("Error in waveInUnprepareHeader ()");
  if (WaveClose(TWaveDir::In, FHandle) != MMSYSERR_NOERROR) WriteLog("Error closing input device.");
  FOpened = false;
}

void TRecorder::WaveInProc(TWaveHandle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t) noexcept {
  auto* Self = reinterpret_cast<TRecorder*>(Instance);
  try {
    switch (Msg) {
      case WIM_CLOSE:
        Self->FRunning = false;
        break;
      case WIM_DATA:
        Self->OnBufferFilled(reinterpret_cast<WAVEHDR*>(Param1));
        break;
      default:
        break;
    }
  } catch (...) {
    // Nothing may leave a device callback; the session catches its own failures.
  }
}
