#include "audio/recorder.h"

#include "audio/device_select.h"
#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"

using namespace Platform;

TRecorder::TRecorder(TRecorderSession& Session) : FSession(Session) {}

TRecorder::~TRecorder() {
  if (FCapturing) Reset();
}

int32_t TRecorder::SelectDevice() {
  return SelectWaveDevice(TWaveDir::In, FSession.RecDeviceID(), FDeviceId, [this] { return FDevice.Reserve(BufferCount); });
}

void TRecorder::Start() {
  if (!FRunning) FRunning = Open() == 0;
}

int32_t TRecorder::Open() {
  // The device is offered exactly one packet's payload per buffer, which must
  // fit the buffer.
  const int32_t Payload = FSession.SendPayloadBytes();
  if (Payload < 1 || Payload > static_cast<int32_t>(TWaveDevice::BufferBytes)) {
    WriteLog(Format("Send payload of %d bytes does not fit a capture buffer of %u bytes; recorder not opened",
                    Payload, TWaveDevice::BufferBytes));
    return -7;
  }
  if (!FDevice.Reserved()) return -7;  // SelectDevice reserved nothing

  if (const int32_t R = FDevice.Open(FDeviceId, FSession.AudioFormat(), static_cast<uint32_t>(Payload), 0)) return R;
  if (QueueNext() != 0) {
    FDevice.Close();
    WriteLog("Error adding first buffer to recorder");
    return -3;
  }
  if (FDevice.Start() != MMSYSERR_NOERROR) {
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
  if (!FQueueLock.TryEnter()) return -1;
  WAVEHDR& H = FDevice.Header(FNextIndex);
  H.dwBytesRecorded = 0;
  const MMRESULT R = FDevice.Queue(H);
  FRunning = R == MMSYSERR_NOERROR;
  if (R == MMSYSERR_NOERROR) FNextIndex = (FNextIndex + 1) % BufferCount;
  FQueueLock.Leave();
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
  FQueueLock.Shut();
  FDevice.Close();
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
