#pragma once
// Virtual wave devices: capture devices that play a file or a tone in a loop,
// playback devices that write what they play to a file, both paced by the
// clock at the format's byte rate and behaving towards their callers like the
// system's devices. They follow the system's devices in the device list, in
// the order given. They serve machines without sound hardware, demonstrations
// and tests; a device can be told to fail chosen calls or to vanish.
//
// Virtual devices take A-law, one channel, 8 bits per sample, at any rate.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wave.h"

namespace Platform {

enum class TWaveFaultOp : uint8_t { Caps, Open, Prepare, Unprepare, Queue, Start, Reset, Close };

// Makes the Nth call of Op fail with Code (Nth counts from 1; 0 means every
// call). Open and Caps count over the device's life, the others per opening.
// Unprepare, Reset and Close do their work and then report the fault; the
// other calls fail without effect.
struct TWaveFault {
  TWaveFaultOp Op = TWaveFaultOp::Open;
  uint32_t Nth = 0;
  MMRESULT Code = MMSYSERR_ERROR;
};

struct TVirtualWaveDevice {
  TWaveDir Dir = TWaveDir::In;
  std::string Name;  // the product name; cut to MAXPNAMELEN - 1 characters
  // Capture: the file played in a loop (raw A-law, or a WAV file in A-law or
  // 16-bit PCM at the opened rate); without a file a tone of ToneHz, or
  // silence when ToneHz is 0. Playback: the file written (a WAV file when the
  // name ends in ".wav", raw A-law otherwise), created anew at each opening;
  // without a file the audio is discarded.
  std::string FileName;
  // Playback: a stretch with nothing queued (an underrun) is written to the
  // file as the silence it was, so that the file keeps the device's time.
  bool GapsAsSilence = false;
  double ToneHz = 0;
  double ToneLevelDb = -10;  // relative to full scale
  // The open device is lost this long after its opening (0: never), and the
  // device is then missing from the device list for AbsentMs.
  uint32_t VanishAfterMs = 0;
  uint32_t AbsentMs = 0;
  std::vector<TWaveFault> Faults;
};

// Replaces the virtual devices. Devices that are open stay as they are until
// closed.
void SetVirtualWaveDevices(std::vector<TVirtualWaveDevice> Devices);

// Whether the system's devices are hidden (the virtual devices' setting
// SystemDevices=0, and the tests): the device lists then hold the virtual
// devices alone, and the mapper is the first virtual device of its direction
// (named VirtualMapperName), which is also the preferred device.
class TSystemWaveDevices {
public:
  static bool Hidden() { return FHidden.load(); }
  static void SetHidden(bool Hide) { FHidden = Hide; }

private:
  friend class TWaveDevicesTestPeer;
  static inline std::atomic<bool> FHidden{false};
};
inline constexpr const char* VirtualMapperName = "Virtual Sound Mapper";

}  // namespace Platform
