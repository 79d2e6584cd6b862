#pragma once
// The virtual wave devices of the configuration: section [VirtualDevices] of
// the INI file, which the settings loader does not read. Keys Capture1,
// Capture2, ... and Playback1, Playback2, ... (each series ends at its first
// missing number); each value is the device's name followed by options, all
// separated by "|":
//
//   Capture1=USB Headset Microphone|file=mic.wav
//   Capture2=Tone Headset|tone=1000|level=-12
//   Playback1=USB Headset Earphone|file=played.wav
//   Playback2=Busy Headset|fault=open:4
//   Capture3=Loose Headset|vanish=5000|absent=2000
//
// Options: file=PATH (relative to the INI file's folder), tone=HZ and
// level=DB (capture), gaps=silence (playback), vanish=MS and absent=MS, fault=OP[@N][:CODE] with OP one
// of caps, open, prepare, unprepare, add, write, start, reset, close. An entry
// with an unknown or malformed option is left out with a log line.
//
// SystemDevices=0 leaves the system's own devices out of the list: the
// virtual ones are then numbered from 0, and the system's audio stack is
// never touched.

#include <string>
#include <vector>

#include "config/ini_file.h"
#include "platform/wave_virtual.h"

// The devices the section defines, in their order (capture devices first).
std::vector<Platform::TVirtualWaveDevice> ReadVirtualDevices(const TIniFile& Ini, const std::string& BaseDir);

// Reads the section from the INI file and installs its devices (none when the
// section is missing), hiding the system's when it says so; returns how many
// virtual devices there are.
int LoadVirtualDevices(const std::string& IniFileName);
