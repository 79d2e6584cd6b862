#pragma once
// TWaveDevice: one wave device as the recorder and the player use it, with its
// headers and their buffers. What the wave API asks of its caller happens here
// once, in its order: the headers and buffers are reserved before the device
// opens, every header is prepared right after the opening, a device that was
// handed buffers is reset (so that every one comes back) before the headers
// are unprepared, and the device closes last. Failures are logged with the
// words of the device's side.
//
// The owner keeps what is its own: the recorder its queueing lock, the player
// the free markers of its ring. The owner stops its own use of the device
// before Close (the recorder takes its queueing lock), so that nothing is
// queued again while the device is reset and closed.
//
// Threads: Reserve, Open, Start and Close run on the owner's control thread;
// Queue also on the thread that refills the device (the recorder's callback,
// the player's session thread).

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/wave.h"
#include "platform/wave_format.h"

class TWaveDevice {
public:
  // Every wave buffer holds this many bytes.
  static constexpr uint32_t BufferBytes = 32768;
  // The most buffers a device is given (the player's ring).
  static constexpr int32_t MaxBuffers = 1024;

  TWaveDevice(Platform::TWaveDir Dir, Platform::TWaveCallback Callback, uintptr_t Instance);
  ~TWaveDevice();  // closes the device if it is still open
  TWaveDevice(const TWaveDevice&) = delete;
  TWaveDevice& operator=(const TWaveDevice&) = delete;

  // Reserves Count headers, each with a buffer of BufferBytes: 0, or -3 when
  // the headers and -4 when the buffers cannot be had (logged). What was
  // reserved before a failure stays until the object goes.
  int32_t Reserve(int32_t Count);
  // All the headers and buffers are there.
  bool Reserved() const { return FReserved; }
  int32_t Count() const { return static_cast<int32_t>(FHeaders.size()); }
  Platform::WAVEHDR& Header(int32_t Index) { return *FHeaders[static_cast<size_t>(Index)]; }
  const Platform::WAVEHDR& Header(int32_t Index) const { return *FHeaders[static_cast<size_t>(Index)]; }

  // Opens the device, then gives every header its buffer, Length bytes of it
  // to use and User in dwUser, and prepares it. 0; -1 when the device did not
  // open; -2 when a header could not be prepared (the device is closed again).
  int32_t Open(int32_t DeviceId, const Platform::TWaveFormat& Format, uint32_t Length, uintptr_t User);
  bool IsOpen() const { return FOpen; }

  // Hands a header to the device: a capture buffer to fill or a playback buffer to play.
  Platform::MMRESULT Queue(Platform::WAVEHDR& Header);
  // Starts capturing.
  Platform::MMRESULT Start();

  // Resets a device that was handed buffers (every one comes back), unprepares
  // the prepared headers and closes the device. Nothing when it is not open.
  void Close();

private:
  const Platform::TWaveDir FDir;
  const Platform::TWaveCallback FCallback;
  const uintptr_t FInstance;
  std::vector<std::unique_ptr<Platform::WAVEHDR>> FHeaders;  // control thread: reserved by Reserve
  std::vector<std::unique_ptr<char[]>> FBuffers;             // control thread: reserved by Reserve
  bool FReserved = false;                                    // control thread
  Platform::TWaveHandle FHandle = 0;  // set by Open before any header is queued
  bool FOpen = false;                 // control thread
  std::atomic<bool> FHandedOver{false};  // set by Queue and Start on any thread; cleared by Open
};
