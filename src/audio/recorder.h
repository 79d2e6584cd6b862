#pragma once
// TRecorder: captures the headset microphone on one wave-in device in the
// session's wave format and hands every filled capture buffer to the session.
// Five capture buffers stay queued at the device; each is queued again as soon
// as its data has been handed on. A recorder is never restarted after Stop: the
// session makes a new one.
//
// Threads: Create, SelectDevice, Start, Stop and the destructor run on the
// session's control thread; the callback (OnBufferFilled, QueueNext) runs on
// the device's thread.

#include <atomic>
#include <cstdint>
#include <string>

#include "audio/wave_device.h"
#include "platform/mutex.h"
#include "platform/sync.h"
#include "platform/wave.h"
#include "platform/wave_format.h"

// What the recorder needs of its session.
class TRecorderSession {
public:
  virtual const Platform::TWaveFormat& AudioFormat() const = 0;
  // The bytes of audio in one sent packet.
  virtual int32_t SendPayloadBytes() const = 0;
  // The device to choose: a number, or a list of device names (RecDeviceID).
  virtual const std::string& RecDeviceID() const = 0;
  // A filled capture buffer: the session copies dwBytesRecorded bytes from
  // lpData before it returns. Called on the device's thread.
  virtual void AddRecordedData(const Platform::WAVEHDR& Header) = 0;

protected:
  ~TRecorderSession() = default;
};

class TRecorder {
public:
  static constexpr int BufferCount = 5;

  explicit TRecorder(TRecorderSession& Session);  // Create
  ~TRecorder();                                   // Destroy
  TRecorder(const TRecorder&) = delete;
  TRecorder& operator=(const TRecorder&) = delete;

  // Chooses the device (the session's RecDeviceID) and reserves the buffers: 0, or -1, -3,
  // -4, -5.
  int32_t SelectDevice();
  // Opens the device and starts capturing unless running; Running tells how it went.
  void Start();
  void Stop();

  bool Running() const { return FRunning.load(); }

private:
  int32_t Open();
  int32_t QueueNext();
  void OnBufferFilled(Platform::WAVEHDR* Header);
  // Stops capture for good: buffers coming back are dropped, nothing is queued
  // any more, the device is closed.
  void Reset();
  static void WaveInProc(Platform::TWaveHandle Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                         uintptr_t Param2) noexcept;

  // The try-lock around queueing: an auto-reset event, signalled while free,
  // so that Reset can shut it for good (a mutex would have to be released).
  class CAPABILITY("try-lock") TQueueGate {
  public:
    bool TryEnter() TRY_ACQUIRE(true) { return FEvent.Wait(0); }
    void Leave() RELEASE() { FEvent.Set(); }
    // Waits for the holder to leave and lets nobody in any more.
    void Shut() { FEvent.Wait(Platform::WaitInfinite); }

  private:
    Platform::TEvent FEvent{false, true};
  };

  TRecorderSession& FSession;
  std::atomic<bool> FRunning{false};    // written by the control and the device thread
  int32_t FNextIndex GUARDED_BY(FQueueLock) = 0;
  std::atomic<bool> FCapturing{false};  // written by the control thread, read by the device thread
  int32_t FDeviceId = 0;                // control thread
  TQueueGate FQueueLock;
  // The device and its five buffers; last, so that it closes (and no callback
  // runs any more) before the members above go.
  TWaveDevice FDevice{Platform::TWaveDir::In, &TRecorder::WaveInProc, reinterpret_cast<uintptr_t>(this)};
};
