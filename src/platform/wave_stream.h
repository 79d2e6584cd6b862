#pragma once
// The machinery that the port's own devices share (the virtual devices and the
// ALSA backend): the queue of headers, the device thread that moves the audio
// and delivers the callbacks, reset, close and the loss of a device.
//
// The device thread alone completes buffers and calls the callback, always with
// FLock released, so that a callback may queue its buffer again. Reset and close
// are carried out by the device thread too: the caller waits until it is done,
// so that when WaveReset returns every buffer has come back, and when WaveClose
// returns no callback is running or will run.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>

#include "platform/mutex.h"
#include "platform/wave.h"
#include "platform/wave_virtual.h"

namespace Platform::Detail {

class TWaveStream {
public:
  TWaveStream(TWaveDir Dir, TWaveCallback Callback, uintptr_t Instance);
  virtual ~TWaveStream();
  TWaveStream(const TWaveStream&) = delete;
  TWaveStream& operator=(const TWaveStream&) = delete;

  TWaveHandle Handle() const { return reinterpret_cast<TWaveHandle>(this); }
  TWaveDir Dir() const { return FDir; }

  // Sends the OPEN message on the calling thread and starts the device thread.
  void Begin();

  MMRESULT Prepare(WAVEHDR* Header, uint32_t Size);
  MMRESULT Unprepare(WAVEHDR* Header, uint32_t Size);
  MMRESULT Queue(WAVEHDR* Header, uint32_t Size);
  MMRESULT Start();
  MMRESULT Reset();
  MMRESULT Close();
  // True once Close has released the device (even when it reported a fault).
  bool Closed();

protected:
  enum class TPump { Going, Lost };

  // One step of the device thread, with L held: waits (bounded, or until
  // FWake is notified) and moves audio, completing buffers through Complete.
  // Must come back soon after FWake is notified.
  virtual TPump Pump(TUniqueLock& L) REQUIRES(FLock) = 0;
  // Capture is to start (under FLock); a nonzero result fails WaveInStart.
  virtual MMRESULT OnStart() REQUIRES(FLock) { return MMSYSERR_NOERROR; }
  // The device is being reset: stop it, keep its partial data (under FLock,
  // on the device thread).
  virtual void OnStop() REQUIRES(FLock) {}
  // A header joined the queue (under FLock, on the queueing thread).
  virtual void OnQueued() REQUIRES(FLock) {}
  // After the device thread has ended: release the device.
  virtual void OnClose() {}
  // A fault to report for this call instead of carrying it out (0: none).
  virtual MMRESULT Fault(TWaveFaultOp) { return MMSYSERR_NOERROR; }

  // The oldest queued header, or nullptr (under FLock).
  WAVEHDR* Front() const REQUIRES(FLock) { return FQueue.empty() ? nullptr : FQueue.front(); }
  bool QueueEmpty() const REQUIRES(FLock) { return FQueue.empty(); }
  bool Started() const REQUIRES(FLock) { return FStarted; }
  // Whether a reset or close waits for the device thread (under FLock).
  bool ControlPending() const REQUIRES(FLock) { return FResetRequested || FCloseRequested; }
  // Ends the device thread without further callbacks; a derived destructor
  // calls it before its own members go.
  void StopThread();
  // Gives the front header back through the callback; FLock is released meanwhile.
  void Complete() REQUIRES(FLock);

  TMutex FLock;
  std::condition_variable FWake;  // waits on FLock; queueing, start, reset and close notify it

private:
  void Run();
  // Gives every queued header back (device thread); FLock is released while
  // the callbacks run.
  void GiveAllBack() REQUIRES(FLock);
  void Deliver(uint32_t Msg, WAVEHDR* Header) noexcept;
  bool OnDeviceThread() const { return std::this_thread::get_id() == FThreadId; }

  const TWaveDir FDir;
  const TWaveCallback FCallback;
  const uintptr_t FInstance;
  std::deque<WAVEHDR*> FQueue GUARDED_BY(FLock);
  bool FStarted GUARDED_BY(FLock) = false;  // capture only
  bool FLost GUARDED_BY(FLock) = false;
  bool FResetRequested GUARDED_BY(FLock) = false;
  bool FCloseRequested GUARDED_BY(FLock) = false;
  bool FCloseSent GUARDED_BY(FLock) = false;
  bool FClosed GUARDED_BY(FLock) = false;
  std::condition_variable FResetDone;    // waits on FLock
  std::thread FThread;                   // started by Begin, joined by Close or the destructor
  std::thread::id FThreadId;             // set by Begin before the thread runs; constant afterwards
};

}  // namespace Platform::Detail
