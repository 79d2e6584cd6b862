#pragma once
// Choosing the wave device of the recorder (capture side) or the player
// (playback side): the procedure both share, with the words of each side's
// log lines. The configured value is either a device number or a list of
// device-name prefixes.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/wave.h"

// The configured value as a device identifier: optional leading blanks, an
// optional sign, then decimal digits or hexadecimal digits after "$", "x", "X",
// "0x" or "0X", nothing after them, within the signed 32-bit range. Anything
// else, and -2 itself, gives -2 (a name list).
int32_t DeviceIdFromText(const std::string& Text);

// The entries of a device name list: separated by blanks (codes 1 to 32) and
// "|", an entry in double quotes kept whole (two double quotes inside stand
// for one), empty entries kept. A quoted entry without its closing quote runs
// to the end of the text.
std::vector<std::string> SplitDeviceNames(const std::string& Value);

// The whole names of a device name list: the text between "|", split as the
// other lists of the program are but not at blanks (a name in double quotes
// kept as written); empty names left out. "Logitech USB Headset|Plantronics"
// holds two.
std::vector<std::string> SplitWholeDeviceNames(const std::string& Value);

// True when a device's product name begins with the entry, byte for byte.
bool DeviceNameMatches(const std::string& Entry, const char* Name);

// The first device, entry by entry in list order, whose product name begins
// with a non-empty entry; devices whose capabilities cannot be read are skipped.
// The whole names are tried first, so that a word of one name ("USB") cannot
// pick another device (a webcam's "USB Camera Mic") before the headset the list
// names; only when no whole name matches are the entries of SplitDeviceNames
// tried, and a device found so is logged with the word that found it.
bool FindWaveDeviceByName(Platform::TWaveDir Dir, const std::string& Configured, int32_t& DeviceId);

// The listing lines: the count, one line per device, the preferred device.
void LogWaveDeviceList(Platform::TWaveDir Dir);

// The whole selection. Reserve reserves the owner's headers and buffers and
// returns 0, -3 or -4 (having logged why). Results: 0 = DeviceId resolved;
// -1 = no device of the kind; -3, -4 from Reserve; -5 = no name matched.
int32_t SelectWaveDevice(Platform::TWaveDir Dir, const std::string& Configured, int32_t& DeviceId,
                         const std::function<int32_t()>& Reserve);

// The lines after an open: the report of a successful one (only with DoLog),
// or the two failure lines (always).
void LogDeviceOpened(Platform::TWaveDir Dir, int32_t DeviceId, Platform::TWaveHandle Handle);
void LogOpenFailure(Platform::TWaveDir Dir, Platform::MMRESULT Code);

// The open flags for a device identifier.
uint32_t WaveOpenFlags(int32_t DeviceId);

// The system's text for a result code, read into a buffer of BufferChars.
std::string WaveErrorText(Platform::TWaveDir Dir, Platform::MMRESULT Code, uint32_t BufferChars);
