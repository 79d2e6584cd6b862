// The system's wave devices on Windows: winmm itself. Handles are winmm's own;
// its callbacks reach the caller through a small trampoline that carries the
// caller's function and instance data.

// The port's names first: the system headers below define the same names as macros.
#include "platform/wave.h"
#include "platform/mutex.h"
#include "platform/wave_backend.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <map>
#include <memory>

namespace Platform::Detail {

static_assert(sizeof(Platform::WAVEHDR) == sizeof(::WAVEHDR));
static_assert(offsetof(Platform::WAVEHDR, lpData) == offsetof(::WAVEHDR, lpData));
static_assert(offsetof(Platform::WAVEHDR, dwBufferLength) == offsetof(::WAVEHDR, dwBufferLength));
static_assert(offsetof(Platform::WAVEHDR, dwBytesRecorded) == offsetof(::WAVEHDR, dwBytesRecorded));
static_assert(offsetof(Platform::WAVEHDR, dwUser) == offsetof(::WAVEHDR, dwUser));
static_assert(offsetof(Platform::WAVEHDR, dwFlags) == offsetof(::WAVEHDR, dwFlags));
static_assert(offsetof(Platform::WAVEHDR, lpNext) == offsetof(::WAVEHDR, lpNext));
static_assert(offsetof(Platform::WAVEHDR, reserved) == offsetof(::WAVEHDR, reserved));

namespace {

struct TTrampoline {
  TWaveCallback Callback;
  uintptr_t Instance;
};

TMutex GTrampolinesLock;
// The trampoline of every open device, until its close succeeds.
std::map<TWaveHandle, std::unique_ptr<TTrampoline>>& Trampolines() REQUIRES(GTrampolinesLock) {
  static auto* M = new std::map<TWaveHandle, std::unique_ptr<TTrampoline>>;
  return *M;
}

void CALLBACK WaveProc(HANDLE Handle, UINT Msg, DWORD_PTR Instance, DWORD_PTR Param1, DWORD_PTR Param2) {
  const auto* T = reinterpret_cast<const TTrampoline*>(Instance);
  T->Callback(reinterpret_cast<TWaveHandle>(Handle), Msg, T->Instance, Param1, Param2);
}

HWAVEIN In(TWaveHandle H) { return reinterpret_cast<HWAVEIN>(H); }
HWAVEOUT Out(TWaveHandle H) { return reinterpret_cast<HWAVEOUT>(H); }
::WAVEHDR* Sys(Platform::WAVEHDR* H) { return reinterpret_cast<::WAVEHDR*>(H); }

}  // namespace

uint32_t SystemWaveNumDevs(TWaveDir Dir, bool) {
  return Dir == TWaveDir::In ? waveInGetNumDevs() : waveOutGetNumDevs();
}

MMRESULT SystemWaveGetDevCaps(TWaveDir Dir, uint32_t DeviceId, TWaveCaps* Caps) {
  MMRESULT R;
  if (Dir == TWaveDir::In) {
    WAVEINCAPSA C{};
    R = waveInGetDevCapsA(DeviceId, &C, sizeof C);
    if (R == MMSYSERR_NOERROR) CopyProductName(C.szPname, Caps);
  } else {
    WAVEOUTCAPSA C{};
    R = waveOutGetDevCapsA(DeviceId, &C, sizeof C);
    if (R == MMSYSERR_NOERROR) CopyProductName(C.szPname, Caps);
  }
  return R;
}

MMRESULT SystemWavePreferred(TWaveDir Dir, uint32_t* DeviceId, uint32_t* Status) {
  DWORD Id = 0, St = 0;
  const MMRESULT R =
      Dir == TWaveDir::In
          ? waveInMessage(reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(WAVE_MAPPER)), DRVM_MAPPER_PREFERRED_GET,
                          reinterpret_cast<DWORD_PTR>(&Id), reinterpret_cast<DWORD_PTR>(&St))
          : waveOutMessage(reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER)), DRVM_MAPPER_PREFERRED_GET,
                           reinterpret_cast<DWORD_PTR>(&Id), reinterpret_cast<DWORD_PTR>(&St));
  *DeviceId = Id;
  *Status = St;
  return R;
}

MMRESULT SystemWaveOpen(TWaveDir Dir, uint32_t DeviceId, const TWaveFormat& Format, TWaveCallback Callback,
                        uintptr_t Instance, uint32_t Flags, TOpenedDevice& Opened) {
  WAVEFORMATEX F{};
  F.wFormatTag = Format.wFormatTag;
  F.nChannels = Format.nChannels;
  F.nSamplesPerSec = Format.nSamplesPerSec;
  F.nAvgBytesPerSec = Format.nAvgBytesPerSec;
  F.nBlockAlign = Format.nBlockAlign;
  F.wBitsPerSample = Format.wBitsPerSample;
  F.cbSize = 0;
  auto T = std::make_unique<TTrampoline>(TTrampoline{Callback, Instance});
  const DWORD_PTR Proc = reinterpret_cast<DWORD_PTR>(&WaveProc);
  const DWORD_PTR Data = reinterpret_cast<DWORD_PTR>(T.get());
  MMRESULT R;
  TWaveHandle H = 0;
  if (Dir == TWaveDir::In) {
    HWAVEIN W = nullptr;
    R = waveInOpen(&W, DeviceId, &F, Proc, Data, Flags);
    H = reinterpret_cast<TWaveHandle>(W);
  } else {
    HWAVEOUT W = nullptr;
    R = waveOutOpen(&W, DeviceId, &F, Proc, Data, Flags);
    H = reinterpret_cast<TWaveHandle>(W);
  }
  if (R != MMSYSERR_NOERROR) return R;
  {
    TLockGuard L(GTrampolinesLock);
    Trampolines()[H] = std::move(T);
  }
  Opened.Handle = H;
  return MMSYSERR_NOERROR;
}

MMRESULT SystemWaveHandlePrepare(TWaveDir Dir, TWaveHandle Handle, Platform::WAVEHDR* Header, uint32_t Size) {
  return Dir == TWaveDir::In ? waveInPrepareHeader(In(Handle), Sys(Header), Size)
                             : waveOutPrepareHeader(Out(Handle), Sys(Header), Size);
}

MMRESULT SystemWaveHandleUnprepare(TWaveDir Dir, TWaveHandle Handle, Platform::WAVEHDR* Header, uint32_t Size) {
  return Dir == TWaveDir::In ? waveInUnprepareHeader(In(Handle), Sys(Header), Size)
                             : waveOutUnprepareHeader(Out(Handle), Sys(Header), Size);
}

MMRESULT SystemWaveHandleQueue(TWaveDir Dir, TWaveHandle Handle, Platform::WAVEHDR* Header, uint32_t Size) {
  return Dir == TWaveDir::In ? waveInAddBuffer(In(Handle), Sys(Header), Size)
                             : waveOutWrite(Out(Handle), Sys(Header), Size);
}

MMRESULT SystemWaveHandleStart(TWaveHandle Handle) { return waveInStart(In(Handle)); }

MMRESULT SystemWaveHandleReset(TWaveDir Dir, TWaveHandle Handle) {
  return Dir == TWaveDir::In ? waveInReset(In(Handle)) : waveOutReset(Out(Handle));
}

MMRESULT SystemWaveHandleClose(TWaveDir Dir, TWaveHandle Handle) {
  const MMRESULT R = Dir == TWaveDir::In ? waveInClose(In(Handle)) : waveOutClose(Out(Handle));
  if (R == MMSYSERR_NOERROR) {
    // No callback of the device runs after a successful close.
    TLockGuard L(GTrampolinesLock);
    Trampolines().erase(Handle);
  }
  return R;
}

MMRESULT SystemWaveErrorText(TWaveDir Dir, MMRESULT Code, char* Text, uint32_t Size) {
  return Dir == TWaveDir::In ? waveInGetErrorTextA(Code, Text, Size) : waveOutGetErrorTextA(Code, Text, Size);
}

}  // namespace Platform::Detail
