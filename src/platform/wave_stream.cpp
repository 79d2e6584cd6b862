#include "platform/wave_stream.h"

#include <vector>

#include "platform/mutex.h"

namespace Platform::Detail {

namespace {
bool ValidHeader(const WAVEHDR* Header, uint32_t Size) {
  return Header != nullptr && Size >= sizeof(WAVEHDR);
}
}  // namespace

TWaveStream::TWaveStream(TWaveDir Dir, TWaveCallback Callback, uintptr_t Instance)
    : FDir(Dir), FCallback(Callback), FInstance(Instance) {}

TWaveStream::~TWaveStream() { StopThread(); }

void TWaveStream::StopThread() {
  // Only a device that was never closed still has its thread here.
  if (!FThread.joinable() || OnDeviceThread()) return;
  {
    TLockGuard L(FLock);
    FCloseRequested = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TWaveStream::Begin() {
  Deliver(FDir == TWaveDir::In ? WIM_OPEN : WOM_OPEN, nullptr);
  TLockGuard L(FLock);
  FThread = std::thread([this] { Run(); });
  FThreadId = FThread.get_id();
}

MMRESULT TWaveStream::Prepare(WAVEHDR* Header, uint32_t Size) {
  if (!ValidHeader(Header, Size) || Header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  TLockGuard L(FLock);
  if (const MMRESULT F = Fault(TWaveFaultOp::Prepare)) return F;
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  Header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Unprepare(WAVEHDR* Header, uint32_t Size) {
  if (!ValidHeader(Header, Size)) return MMSYSERR_INVALPARAM;
  TLockGuard L(FLock);
  if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  Header->dwFlags &= ~WHDR_PREPARED;
  // A fault here is reported after the work is done, so that a test of the
  // failure line leaves nothing behind.
  return Fault(TWaveFaultOp::Unprepare);
}

MMRESULT TWaveStream::Queue(WAVEHDR* Header, uint32_t Size) {
  if (!ValidHeader(Header, Size)) return MMSYSERR_INVALPARAM;
  bool Wake = false;
  {
    TLockGuard L(FLock);
    if (FLost) return MMSYSERR_NODRIVER;
    if (const MMRESULT F = Fault(TWaveFaultOp::Queue)) return F;
    if (!(Header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (Header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    Header->dwFlags = (Header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (FDir == TWaveDir::In) Header->dwBytesRecorded = 0;
    // The device thread waits for a header only when it has none; behind the
    // front one a new header changes nothing it waits for.
    Wake = FQueue.empty();
    FQueue.push_back(Header);
    OnQueued();
  }
  if (Wake) FWake.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Start() {
  if (FDir != TWaveDir::In) return MMSYSERR_NOTSUPPORTED;
  {
    TLockGuard L(FLock);
    if (FLost) return MMSYSERR_NODRIVER;
    if (const MMRESULT F = Fault(TWaveFaultOp::Start)) return F;
    if (FStarted) return MMSYSERR_NOERROR;
    if (const MMRESULT R = OnStart()) return R;
    FStarted = true;
  }
  FWake.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Reset() {
  TUniqueLock L(FLock);
  if (OnDeviceThread()) {
    // From inside a callback: the device thread cannot wait for itself.
    GiveAllBack();
  } else if (!FLost) {
    FResetRequested = true;
    FWake.notify_all();
    FResetDone.wait(L.Native(), [this]() REQUIRES(FLock) { return !FResetRequested; });
  }
  return Fault(TWaveFaultOp::Reset);
}

MMRESULT TWaveStream::Close() {
  if (OnDeviceThread()) return MMSYSERR_ERROR;  // a callback must not close its own device
  {
    TUniqueLock L(FLock);
    if (!FQueue.empty()) return WAVERR_STILLPLAYING;
    FCloseRequested = true;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
  OnClose();
  bool SendClose = false;
  {
    TLockGuard L(FLock);
    SendClose = !FCloseSent;
    FCloseSent = true;
    FClosed = true;
  }
  if (SendClose) Deliver(FDir == TWaveDir::In ? WIM_CLOSE : WOM_CLOSE, nullptr);
  return Fault(TWaveFaultOp::Close);
}

bool TWaveStream::Closed() {
  TLockGuard L(FLock);
  return FClosed;
}

void TWaveStream::Complete() {
  WAVEHDR* H = FQueue.front();
  FQueue.pop_front();
  H->dwFlags = (H->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  FLock.Unlock();
  Deliver(FDir == TWaveDir::In ? WIM_DATA : WOM_DONE, H);
  FLock.Lock();
}

void TWaveStream::GiveAllBack() {
  if (FDir == TWaveDir::In) FStarted = false;
  OnStop();
  // Only the headers queued now come back; one queued again by a callback
  // meanwhile stays queued.
  std::vector<WAVEHDR*> Back(FQueue.begin(), FQueue.end());
  FQueue.clear();
  for (WAVEHDR* H : Back) H->dwFlags = (H->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  FLock.Unlock();
  for (WAVEHDR* H : Back) Deliver(FDir == TWaveDir::In ? WIM_DATA : WOM_DONE, H);
  FLock.Lock();
}

void TWaveStream::Deliver(uint32_t Msg, WAVEHDR* Header) noexcept {
  if (FCallback) FCallback(Handle(), Msg, FInstance, reinterpret_cast<uintptr_t>(Header), 0);
}

void TWaveStream::Run() {
  TUniqueLock L(FLock);
  while (!FCloseRequested) {
    if (FResetRequested) {
      GiveAllBack();
      FResetRequested = false;
      FResetDone.notify_all();
      continue;
    }
    if (FLost) {
      FWake.wait(L.Native());
      continue;
    }
    if (Pump(L) == TPump::Lost) {
      // The device is gone: every buffer comes back, then the close
      // notification, so that the owner learns it without polling.
      FLost = true;
      GiveAllBack();
      FCloseSent = true;
      FLock.Unlock();
      Deliver(FDir == TWaveDir::In ? WIM_CLOSE : WOM_CLOSE, nullptr);
      FLock.Lock();
    }
  }
}

}  // namespace Platform::Detail
