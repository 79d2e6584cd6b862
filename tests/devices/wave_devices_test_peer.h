#pragma once
// The tests' (and the benchmarks') switch that hides the system's wave devices
// behind the virtual ones, so that a run sees the same devices on any machine.

#include "platform/wave_virtual.h"

namespace Platform {
class TWaveDevicesTestPeer {
public:
  static void HideSystem(bool Hide) { TSystemWaveDevices::FHidden = Hide; }
};
}  // namespace Platform
