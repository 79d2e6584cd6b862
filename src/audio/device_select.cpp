#include "audio/device_select.h"

#include <cstring>

#include "config/start_values.h"
#include "log/log.h"
#include "platform/exception.h"
#include "platform/text.h"

using namespace Platform;

namespace {

// The words of each side's lines.
struct TSideWords {
  const char* NoDevices;
  const char* Count;
  const char* Default;
  const char* NotFound;
  const char* Use;
  const char* Opened;
  const char* OpenFailed;
  const char* ByWord;
};

const TSideWords& Words(TWaveDir Dir) {
  static const TSideWords In{"No wave audio recording devices found.",
                             "Recording devices count: ",
                             "  Default recording device: ",
                             "Could not find record device by name \"%s\"",
                             "Use device \"%s\" for recording",
                             "Opened recording device: %s(%d) [%d]",
                             "Could not open the input device for recording.",
                             "No whole name of the list matched; the word \"%s\" chose record device \"%s\" (ID: %d)"};
  static const TSideWords Out{"No wave audio playing devices found.",
                              "Playback devices count: ",
                              "  Default playback device: ",
                              "Could not find playing device by name \"%s\"",
                              "Use device \"%s\" for playing",
                              "Opened playback device: %s(%d) [%d]",
                              "Could not open the output device for playback.",
                              "No whole name of the list matched; the word \"%s\" chose playing device \"%s\" (ID: %d)"};
  return Dir == TWaveDir::In ? In : Out;
}

// What the listing shows for a device whose capabilities cannot be read.
const char* const UnknownDevice = "<unknown device>";

std::string NameOf(TWaveDir Dir, uint32_t DeviceId) {
  TWaveCaps Caps;
  if (WaveGetDevCaps(Dir, DeviceId, &Caps) != MMSYSERR_NOERROR) return UnknownDevice;
  return Caps.szPname;
}


}  // namespace

int32_t DeviceIdFromText(const std::string& Text) {
  constexpr int32_t NotANumber = -2;
  size_t I = 0;
  while (I < Text.size() && Text[I] == ' ') ++I;
  int32_t Value = 0;
  return Platform::ParseInt32(Text.substr(I), Value, /*AllowBareX=*/true) ? Value : NotANumber;
}

std::vector<std::string> SplitDeviceNames(const std::string& Value) { return Platform::SplitDelimitedText(Value, '|'); }

bool DeviceNameMatches(const std::string& Entry, const char* Name) {
  const size_t Length = std::strlen(Name);
  return Entry.size() <= Length && std::memcmp(Entry.data(), Name, Entry.size()) == 0;
}

std::vector<std::string> SplitWholeDeviceNames(const std::string& Value) {
  std::vector<std::string> Names = Platform::SplitDelimitedText(Value, '|', /*BlanksSeparate=*/false);
  std::erase(Names, std::string());
  return Names;
}

namespace {
// The first device whose name begins with one of Entries, entry by entry.
bool FindByEntries(TWaveDir Dir, const std::vector<std::string>& Entries, int32_t& DeviceId, std::string& Found) {
  const uint32_t Count = WaveGetNumDevs(Dir);
  for (const std::string& Entry : Entries) {
    if (Entry.empty()) continue;
    for (uint32_t Id = 0; Id < Count; ++Id) {
      TWaveCaps Caps;
      if (WaveGetDevCaps(Dir, Id, &Caps) != MMSYSERR_NOERROR) continue;
      if (DeviceNameMatches(Entry, Caps.szPname)) {
        DeviceId = static_cast<int32_t>(Id);
        Found = Entry;
        return true;
      }
    }
  }
  return false;
}
}  // namespace

bool FindWaveDeviceByName(TWaveDir Dir, const std::string& Configured, int32_t& DeviceId) {
  std::string Entry;
  if (FindByEntries(Dir, SplitWholeDeviceNames(Configured), DeviceId, Entry)) return true;
  if (!FindByEntries(Dir, SplitDeviceNames(Configured), DeviceId, Entry)) return false;
  if (DoLog) WriteLog(Format(Words(Dir).ByWord, Entry.c_str(), NameOf(Dir, static_cast<uint32_t>(DeviceId)).c_str(), DeviceId));
  return true;
}

void LogWaveDeviceList(TWaveDir Dir) {
  const uint32_t Count = WaveGetNumDevs(Dir);
  WriteLog(Words(Dir).Count + std::to_string(Count));
  for (uint32_t Id = 0; Id < Count; ++Id) WriteLog("  " + NameOf(Dir, Id) + " (ID: " + std::to_string(Id) + ")");
  uint32_t Preferred = WAVE_MAPPER;
  uint32_t Status = 0;
  WaveMessage(Dir, WAVE_MAPPER, DRVM_MAPPER_PREFERRED_GET, reinterpret_cast<uintptr_t>(&Preferred),
              reinterpret_cast<uintptr_t>(&Status));
  WriteLog(Words(Dir).Default + NameOf(Dir, Preferred) + " (ID: " + std::to_string(Preferred) + ")");
}

int32_t SelectWaveDevice(TWaveDir Dir, const std::string& Configured, int32_t& DeviceId,
                         const std::function<int32_t()>& Reserve) {
  const TSideWords& W = Words(Dir);
  if (WaveGetNumDevs(Dir) == 0) {
    WriteLog(W.NoDevices);
    return -1;
  }
  if (DoLog) LogWaveDeviceList(Dir);
  if (const int32_t R = Reserve()) return R;
  const int32_t Id = DeviceIdFromText(Configured);
  if (Id != -2) {
    DeviceId = Id;
  } else if (!FindWaveDeviceByName(Dir, Configured, DeviceId)) {
    if (DoLog) WriteLog(Format(W.NotFound, Configured.c_str()));
    return -5;
  }
  if (DoLog) {
    TWaveCaps Caps;
    WaveGetDevCaps(Dir, static_cast<uint32_t>(DeviceId), &Caps);
    WriteLog(Format(W.Use, Caps.szPname));
  }
  return 0;
}

void LogDeviceOpened(TWaveDir Dir, int32_t DeviceId, TWaveHandle Handle) {
  TWaveCaps Caps;
  WaveGetDevCaps(Dir, static_cast<uint32_t>(DeviceId), &Caps);
  WriteLog(Format(Words(Dir).Opened, Caps.szPname, DeviceId, static_cast<int>(Handle)));
}

void LogOpenFailure(TWaveDir Dir, MMRESULT Code) {
  WriteLog(Words(Dir).OpenFailed);
  WriteLog(Format("%s(%d)", WaveErrorText(Dir, Code, 2001).c_str(), static_cast<int>(Code)));
}

uint32_t WaveOpenFlags(int32_t DeviceId) {
  return DeviceId == -1 ? CALLBACK_FUNCTION : (CALLBACK_FUNCTION | WAVE_MAPPED);
}

std::string WaveErrorText(TWaveDir Dir, MMRESULT Code, uint32_t BufferChars) {
  std::string Text(BufferChars, '\0');
  WaveGetErrorText(Dir, Code, Text.data(), BufferChars);
  Text.resize(std::strlen(Text.c_str()));
  return Text;
}
