#pragma once
// The wave device port: the narrow part of the waveform-audio interface that the
// recorder, the player and the device selection use, for capture (In) and
// playback (Out) devices alike.
//
// A device list is the system's own devices (winmm on Windows, ALSA on Linux)
// followed by the virtual devices of the configuration (wave_virtual.h). Device
// identifiers are positions in that list; WAVE_MAPPER (-1) is the system's
// mapper (ALSA's "default" on Linux).
//
// Callbacks arrive on a device thread, one buffer at a time and in the order in
// which the buffers were queued. A callback may queue a buffer again
// (WaveInAddBuffer, WaveOutWrite) but must not reset or close its device.
// WaveReset returns once every queued buffer has come back through the
// callback; WaveClose returns once no callback of the device can run any more.
//
// Include this header before any system header: its constants carry the
// system's own names.

#include <cstdint>
#include <string>

#include "platform/wave_format.h"

namespace Platform {

using MMRESULT = uint32_t;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Device identifier of the system's wave mapper.
inline constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;

// Open flags.
inline constexpr uint32_t CALLBACK_FUNCTION = 0x00030000u;
inline constexpr uint32_t WAVE_MAPPED = 0x0004u;

// The one device message: the preferred device's identifier (first parameter:
// address of a uint32_t; second: address of a uint32_t status word).
inline constexpr uint32_t DRVM_MAPPER_PREFERRED_GET = 0x2015u;

// Callback messages; for the DATA and DONE messages the first parameter is the
// header's address.
inline constexpr uint32_t WOM_OPEN = 0x3BB;
inline constexpr uint32_t WOM_CLOSE = 0x3BC;
inline constexpr uint32_t WOM_DONE = 0x3BD;
inline constexpr uint32_t WIM_OPEN = 0x3BE;
inline constexpr uint32_t WIM_CLOSE = 0x3BF;
inline constexpr uint32_t WIM_DATA = 0x3C0;

// Header flags kept by the devices.
inline constexpr uint32_t WHDR_DONE = 0x01;
inline constexpr uint32_t WHDR_PREPARED = 0x02;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

// Product names hold at most MAXPNAMELEN - 1 characters.
inline constexpr uint32_t MAXPNAMELEN = 32;

// The wave buffer header, field for field the system's WAVEHDR. While a header
// is queued the device owns it and its buffer.
struct WAVEHDR {
  char* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesRecorded = 0;
  uintptr_t dwUser = 0;
  uint32_t dwFlags = 0;
  uint32_t dwLoops = 0;
  WAVEHDR* lpNext = nullptr;
  uintptr_t reserved = 0;
};

// The part of a device's capability record that is used: its product name,
// NUL-terminated.
struct TWaveCaps {
  char szPname[MAXPNAMELEN] = {};
};

enum class TWaveDir : uint8_t { In, Out };

// An open device; 0 is none.
using TWaveHandle = uintptr_t;

using TWaveCallback = void (*)(TWaveHandle Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                               uintptr_t Param2) noexcept;

uint32_t WaveGetNumDevs(TWaveDir Dir);
MMRESULT WaveGetDevCaps(TWaveDir Dir, uint32_t DeviceId, TWaveCaps* Caps);
// Only DRVM_MAPPER_PREFERRED_GET sent to WAVE_MAPPER is understood.
MMRESULT WaveMessage(TWaveDir Dir, uint32_t DeviceId, uint32_t Msg, uintptr_t Param1, uintptr_t Param2);
MMRESULT WaveOpen(TWaveDir Dir, TWaveHandle* Handle, uint32_t DeviceId, const TWaveFormat* Format,
                  TWaveCallback Callback, uintptr_t Instance, uint32_t Flags);
MMRESULT WavePrepareHeader(TWaveDir Dir, TWaveHandle Handle, WAVEHDR* Header, uint32_t Size);
MMRESULT WaveUnprepareHeader(TWaveDir Dir, TWaveHandle Handle, WAVEHDR* Header, uint32_t Size);
// Queues an empty capture buffer; it comes back with WIM_DATA once filled.
MMRESULT WaveInAddBuffer(TWaveHandle Handle, WAVEHDR* Header, uint32_t Size);
MMRESULT WaveInStart(TWaveHandle Handle);
// Queues a playback buffer; it comes back with WOM_DONE once played.
MMRESULT WaveOutWrite(TWaveHandle Handle, WAVEHDR* Header, uint32_t Size);
// Stops the device and gives every queued buffer back.
MMRESULT WaveReset(TWaveDir Dir, TWaveHandle Handle);
MMRESULT WaveClose(TWaveDir Dir, TWaveHandle Handle);
// The system's text for a result code, cut to fit Size characters with its NUL.
MMRESULT WaveGetErrorText(TWaveDir Dir, MMRESULT Code, char* Text, uint32_t Size);

}  // namespace Platform
