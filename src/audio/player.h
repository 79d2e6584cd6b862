#pragma once
// TPlayer: plays the received audio on one wave-out device. It owns a ring of
// ReceiveBufCount playback buffers; the session asks IsReady before each take
// from its receive jitter buffer and hands the take to Play, which copies it
// into the next buffer of the ring and writes it to the device. The device
// gives each buffer back when it has played it.
//
// Each header's dwUser is its free marker (1 = free, 0 = with the device): the
// session thread clears it before the write, the device's callback sets it
// after playing; it is read and written atomically, and its release/acquire
// order hands the buffer's bytes between the two threads.
//
// Threads: Create, SelectDevice, Start, Stop and the destructor run on the
// session's control thread; IsReady and Play on the session thread; the
// callback on the device's thread.

#include <atomic>
#include <cstdint>
#include <string>

#include "audio/wave_device.h"
#include "platform/wave.h"
#include "platform/wave_format.h"

// What the player needs of its session.
class TPlayerSession {
public:
  virtual const Platform::TWaveFormat& AudioFormat() const = 0;
  // The bytes of audio in one received packet.
  virtual int32_t ReceivePayloadBytes() const = 0;
  // The number of playback buffers (and packets per take).
  virtual int32_t ReceiveBufCount() const = 0;
  // The device to choose: a number, or a list of device names (PlayDeviceID).
  virtual const std::string& PlayDeviceID() const = 0;

protected:
  ~TPlayerSession() = default;
};

class TPlayer {
public:
  explicit TPlayer(TPlayerSession& Session);  // Create
  ~TPlayer();                                 // Destroy
  TPlayer(const TPlayer&) = delete;
  TPlayer& operator=(const TPlayer&) = delete;

  // Chooses the device (the session's PlayDeviceID) and reserves the ring: 0, or -1, -3,
  // -4, -5.
  int32_t SelectDevice();
  // An empty device list (no name, no number): the first device is played on
  // although the selection found none by name.
  bool FirstDeviceByDefault() const;
  // Opens the device unless running; Running tells how it went. A player whose
  // device did not open is not running, so that the session's watchdog tries
  // again instead of leaving the earpiece deaf.
  void Start();
  bool IsReady() const;
  // Buffers written to the device and not yet given back.
  int32_t QueuedCount() const;
  // The audio in them, in milliseconds: what a buffer written now waits behind.
  uint32_t QueuedMs() const;
  // Copies Size bytes into the next buffer and writes it: 0, or -1 when the
  // data was not written.
  int32_t Play(const void* Data, int32_t Size);
  void Stop();

  bool Running() const { return FRunning.load(); }

private:
  friend class TPlayerTestPeer;  // the tests' look at the ring's position

  int32_t ReserveRing();
  int32_t Open();
  void Reset();
  static void WaveOutProc(Platform::TWaveHandle Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                          uintptr_t Param2) noexcept;
  // The free marker of a header.
  static uintptr_t Marker(const Platform::WAVEHDR& H);
  static void SetMarker(Platform::WAVEHDR& H, uintptr_t Value);

  TPlayerSession& FSession;
  std::atomic<bool> FRunning{false};  // written by the control, session and device threads
  int32_t FNextIndex = 0;             // session thread (set by Open before it runs)
  uint8_t FState = 0;                 // control thread: 0 = not prepared, 2 = open and prepared
  int32_t FDeviceId = 0;              // control thread
  int32_t FDropCount = 0;             // session thread
  // The device and its ring; last, so that it closes (and no callback runs any
  // more) before the members above go.
  TWaveDevice FDevice{Platform::TWaveDir::Out, &TPlayer::WaveOutProc, reinterpret_cast<uintptr_t>(this)};
};
