#pragma once
// What the wave port (wave.cpp) asks of the system backend built for this
// system (wave_win32.cpp or wave_alsa.cpp) and of the virtual devices
// (wave_virtual.cpp). Device identifiers here count within each part.

#include <memory>

#include "platform/wave.h"
#include "platform/wave_stream.h"

namespace Platform::Detail {

// A device the backend opened: either a stream that the port drives and
// identifies by its handle (ALSA, virtual devices), or a handle of the
// system's own (winmm), which the Handle calls below take.
struct TOpenedDevice {
  std::shared_ptr<TWaveStream> Stream;
  TWaveHandle Handle = 0;
};

// The system backend. Refresh takes a fresh look at the system's devices; the
// other calls use the latest look.
uint32_t SystemWaveNumDevs(TWaveDir Dir, bool Refresh);
MMRESULT SystemWaveGetDevCaps(TWaveDir Dir, uint32_t DeviceId, TWaveCaps* Caps);
MMRESULT SystemWavePreferred(TWaveDir Dir, uint32_t* DeviceId, uint32_t* Status);
MMRESULT SystemWaveOpen(TWaveDir Dir, uint32_t DeviceId, const TWaveFormat& Format, TWaveCallback Callback,
                        uintptr_t Instance, uint32_t Flags, TOpenedDevice& Opened);
MMRESULT SystemWaveHandlePrepare(TWaveDir Dir, TWaveHandle Handle, WAVEHDR* Header, uint32_t Size);
MMRESULT SystemWaveHandleUnprepare(TWaveDir Dir, TWaveHandle Handle, WAVEHDR* Header, uint32_t Size);
MMRESULT SystemWaveHandleQueue(TWaveDir Dir, TWaveHandle Handle, WAVEHDR* Header, uint32_t Size);
MMRESULT SystemWaveHandleStart(TWaveHandle Handle);
MMRESULT SystemWaveHandleReset(TWaveDir Dir, TWaveHandle Handle);
MMRESULT SystemWaveHandleClose(TWaveDir Dir, TWaveHandle Handle);
MMRESULT SystemWaveErrorText(TWaveDir Dir, MMRESULT Code, char* Text, uint32_t Size);

// The virtual devices present now, of one direction, in their order.
uint32_t VirtualWaveNumDevs(TWaveDir Dir);
MMRESULT VirtualWaveGetDevCaps(TWaveDir Dir, uint32_t Index, TWaveCaps* Caps);
MMRESULT VirtualWaveOpen(TWaveDir Dir, uint32_t Index, const TWaveFormat& Format, TWaveCallback Callback,
                         uintptr_t Instance, std::shared_ptr<TWaveStream>& Stream);

// Copies a name into a product-name field, cut to fit.
void CopyProductName(const std::string& Name, TWaveCaps* Caps);

}  // namespace Platform::Detail
