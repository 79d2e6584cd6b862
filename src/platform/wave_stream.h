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
#include <mutex>
#include <thread>

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
  virtual TPump Pump(std::unique_lock<std::mutex>& L) = 0;
  // Capture is to start (under FLock); a nonzero result fails WaveInStart.
  virtual MMRESULT OnStart() { return MMSYSERR_NOERROR; }
  // The device is being reset: stop it, keep its partial data (under FLock,
  // on the device thread).
  virtual void OnStop() {}
  // A header joined the queue (under FLock, on the queueing thread).
  virtual void OnQueued() {}
  // After the device thread has ended: release the device.
  virtual void OnClose() {}
  // A fault to report for this call instead of carrying it out (0: none).
  virtual MMRESULT Fault(TWaveFaultOp) { return MMSYSERR_NOERROR; }

  // The oldest queued header, or nullptr (under FLock).
  WAVEHDR* Front() const { return FQueue.empty() ? nullptr : FQueue.front(); }
  bool QueueEmpty() const { return FQueue.empty(); }
  bool Started() const { return FStarted; }
  // Whether a reset or close waits for the device thread (under FLock).
  bool ControlPending() const { return FResetRequested || FCloseRequested; }
  // Ends the device thread without further callbacks; a derived destructor
  // calls it before its own members go.
  void StopThread();
  // Gives the front header back through the callback; L is released meanwhile.
  void Complete(std::unique_lock<std::mutex>& L);

  std::mutex FLock;
  std::condition_variable FWake;  // waits on FLock; queueing, start, reset and close notify it

private:
  void Run();
  // Gives every queued header back (device thread, L held on entry and exit).
  void GiveAllBack(std::unique_lock<std::mutex>& L);
  void Deliver(uint32_t Msg, WAVEHDR* Header) noexcept;
  bool OnDeviceThread() const { return std::this_thread::get_id() == FThreadId; }

  const TWaveDir FDir;
  const TWaveCallback FCallback;
  const uintptr_t FInstance;
  std::deque<WAVEHDR*> FQueue;           // guarded by FLock
  bool FStarted = false;                 // guarded by FLock; capture only
  bool FLost = false;                    // guarded by FLock
  bool FResetRequested = false;          // guarded by FLock
  bool FCloseRequested = false;          // guarded by FLock
  bool FCloseSent = false;               // guarded by FLock
  bool FClosed = false;                  // guarded by FLock
  std::condition_variable FResetDone;    // waits on FLock
  std::thread FThread;                   // started by Begin, joined by Close or the destructor
  std::thread::id FThreadId;             // set by Begin before the thread runs; constant afterwards
};

}  // namespace Platform::Detail
