#pragma once
// Section [Quality] of the configuration file: what the bridge tells of the
// calls' quality.
//
//   [Quality]
//   CallRecords=1   ; a record of every finished call in the log and calls.jsonl
//
// A file without the section writes no call record.

class TIniFile;

struct TQualitySettings {
  bool CallRecords = false;
};

// Read by LoadStartValues with the other settings (StartValues.Quality).
TQualitySettings ReadQualitySettings(const TIniFile& Ini);
