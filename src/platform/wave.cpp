// The wave port: the system's devices first, then the virtual ones. Devices
// that the port drives itself (ALSA, virtual) are known by their handles in
// one table; any other handle belongs to the system (winmm).

#include "platform/wave.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

#include "platform/mutex.h"
#include "platform/wave_backend.h"
#include "platform/wave_virtual.h"

namespace Platform {

using Detail::TWaveStream;

namespace {

TMutex GStreamsLock;
std::map<TWaveHandle, std::shared_ptr<TWaveStream>>& Streams() REQUIRES(GStreamsLock) {
  static auto* S = new std::map<TWaveHandle, std::shared_ptr<TWaveStream>>;
  return *S;
}

std::shared_ptr<TWaveStream> FindStream(TWaveHandle Handle) {
  TLockGuard L(GStreamsLock);
  const auto It = Streams().find(Handle);
  return It == Streams().end() ? nullptr : It->second;
}

uint32_t SystemCount(TWaveDir Dir, bool Refresh) {
  return TSystemWaveDevices::Hidden() ? 0 : Detail::SystemWaveNumDevs(Dir, Refresh);
}

bool ValidFormat(const TWaveFormat* Format) {
  return Format != nullptr && Format->nChannels > 0 && Format->nSamplesPerSec > 0 &&
         Format->nBlockAlign > 0 && Format->nAvgBytesPerSec > 0;
}

}  // namespace

void Detail::CopyProductName(const std::string& Name, TWaveCaps* Caps) {
  std::memset(Caps->szPname, 0, sizeof Caps->szPname);
  std::memcpy(Caps->szPname, Name.data(), std::min<size_t>(Name.size(), MAXPNAMELEN - 1));
}

uint32_t WaveGetNumDevs(TWaveDir Dir) { return SystemCount(Dir, true) + Detail::VirtualWaveNumDevs(Dir); }

MMRESULT WaveGetDevCaps(TWaveDir Dir, uint32_t DeviceId, TWaveCaps* Caps) {
  if (Caps == nullptr) return MMSYSERR_INVALPARAM;
  if (DeviceId == WAVE_MAPPER && TSystemWaveDevices::Hidden()) {
    Detail::CopyProductName(VirtualMapperName, Caps);
    return MMSYSERR_NOERROR;
  }
  if (DeviceId == WAVE_MAPPER) return Detail::SystemWaveGetDevCaps(Dir, DeviceId, Caps);
  const uint32_t System = SystemCount(Dir, false);
  if (DeviceId < System) return Detail::SystemWaveGetDevCaps(Dir, DeviceId, Caps);
  return Detail::VirtualWaveGetDevCaps(Dir, DeviceId - System, Caps);
}

MMRESULT WaveMessage(TWaveDir Dir, uint32_t DeviceId, uint32_t Msg, uintptr_t Param1, uintptr_t Param2) {
  if (DeviceId != WAVE_MAPPER || Msg != DRVM_MAPPER_PREFERRED_GET) return MMSYSERR_NOTSUPPORTED;
  if (Param1 == 0 || Param2 == 0) return MMSYSERR_INVALPARAM;
  if (TSystemWaveDevices::Hidden()) {
    *reinterpret_cast<uint32_t*>(Param1) = 0;
    *reinterpret_cast<uint32_t*>(Param2) = 0;
    return MMSYSERR_NOERROR;
  }
  return Detail::SystemWavePreferred(Dir, reinterpret_cast<uint32_t*>(Param1), reinterpret_cast<uint32_t*>(Param2));
}

MMRESULT WaveOpen(TWaveDir Dir, TWaveHandle* Handle, uint32_t DeviceId, const TWaveFormat* Format,
                  TWaveCallback Callback, uintptr_t Instance, uint32_t Flags) {
  if (Handle == nullptr || !ValidFormat(Format)) return MMSYSERR_INVALPARAM;
  if ((Flags & CALLBACK_FUNCTION) != CALLBACK_FUNCTION || Callback == nullptr) return MMSYSERR_INVALFLAG;
  Detail::TOpenedDevice Opened;
  MMRESULT R;
  const bool Hidden = TSystemWaveDevices::Hidden();
  if (DeviceId == WAVE_MAPPER && Hidden) DeviceId = 0;
  const uint32_t System = DeviceId == WAVE_MAPPER ? 0 : SystemCount(Dir, false);
  if ((DeviceId == WAVE_MAPPER && !Hidden) || DeviceId < System)
    R = Detail::SystemWaveOpen(Dir, DeviceId, *Format, Callback, Instance, Flags, Opened);
  else
    R = Detail::VirtualWaveOpen(Dir, DeviceId - System, *Format, Callback, Instance, Opened.Stream);
  if (R != MMSYSERR_NOERROR) return R;
  if (Opened.Stream) {
    Opened.Handle = Opened.Stream->Handle();
    {
      TLockGuard L(GStreamsLock);
      Streams()[Opened.Handle] = Opened.Stream;
    }
    *Handle = Opened.Handle;
    Opened.Stream->Begin();
  } else {
    *Handle = Opened.Handle;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT WavePrepareHeader(TWaveDir Dir, TWaveHandle Handle, WAVEHDR* Header, uint32_t Size) {
  if (const auto S = FindStream(Handle)) return S->Prepare(Header, Size);
  return Detail::SystemWaveHandlePrepare(Dir, Handle, Header, Size);
}

MMRESULT WaveUnprepareHeader(TWaveDir Dir, TWaveHandle Handle, WAVEHDR* Header, uint32_t Size) {
  if (const auto S = FindStream(Handle)) return S->Unprepare(Header, Size);
  return Detail::SystemWaveHandleUnprepare(Dir, Handle, Header, Size);
}

MMRESULT WaveInAddBuffer(TWaveHandle Handle, WAVEHDR* Header, uint32_t Size) {
  if (const auto S = FindStream(Handle)) return S->Dir() == TWaveDir::In ? S->Queue(Header, Size) : MMSYSERR_INVALHANDLE;
  return Detail::SystemWaveHandleQueue(TWaveDir::In, Handle, Header, Size);
}

MMRESULT WaveInStart(TWaveHandle Handle) {
  if (const auto S = FindStream(Handle)) return S->Dir() == TWaveDir::In ? S->Start() : MMSYSERR_INVALHANDLE;
  return Detail::SystemWaveHandleStart(Handle);
}

MMRESULT WaveOutWrite(TWaveHandle Handle, WAVEHDR* Header, uint32_t Size) {
  if (const auto S = FindStream(Handle)) return S->Dir() == TWaveDir::Out ? S->Queue(Header, Size) : MMSYSERR_INVALHANDLE;
  return Detail::SystemWaveHandleQueue(TWaveDir::Out, Handle, Header, Size);
}

MMRESULT WaveReset(TWaveDir Dir, TWaveHandle Handle) {
  if (const auto S = FindStream(Handle)) return S->Reset();
  return Detail::SystemWaveHandleReset(Dir, Handle);
}

MMRESULT WaveClose(TWaveDir Dir, TWaveHandle Handle) {
  const auto S = FindStream(Handle);
  if (!S) return Detail::SystemWaveHandleClose(Dir, Handle);
  const MMRESULT R = S->Close();
  if (S->Closed()) {
    TLockGuard L(GStreamsLock);
    Streams().erase(Handle);
  }
  return R;
}

MMRESULT WaveGetErrorText(TWaveDir Dir, MMRESULT Code, char* Text, uint32_t Size) {
  if (Text == nullptr || Size == 0) return MMSYSERR_INVALPARAM;
  return Detail::SystemWaveErrorText(Dir, Code, Text, Size);
}

}  // namespace Platform
