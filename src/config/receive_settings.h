#pragma once
// Section [Receive] of the configuration file: how received audio is buffered.
//
//   [Receive]
//   Mode=adaptive      ; fixed (the default) or adaptive
//   MinDelayMs=20      ; adaptive only: the bounds of the buffering delay
//   MaxDelayMs=200
//
// A file without the section keeps the fixed receive buffer.

#include <cstdint>
#include <string>
#include <vector>

class TIniFile;

enum class TReceiveMode { Fixed, Adaptive };

struct TReceiveSettings {
  TReceiveMode Mode = TReceiveMode::Fixed;
  uint32_t MinDelayMs = 20;
  uint32_t MaxDelayMs = 200;
  // What was wrong in the section and what was taken instead, one line each,
  // for the log (the settings are read before anything may log).
  std::vector<std::string> Problems;

  static constexpr uint32_t HighestMinDelayMs = 1000;
  static constexpr uint32_t HighestMaxDelayMs = 2000;
};

// Read by LoadStartValues with the other settings (StartValues.Receive).
TReceiveSettings ReadReceiveSettings(const TIniFile& Ini);
