#include "config/quality_settings.h"

#include "config/ini_file.h"

TQualitySettings ReadQualitySettings(const TIniFile& Ini) {
  TQualitySettings Q;
  Q.CallRecords = Ini.ReadBool("Quality", "CallRecords", Q.CallRecords);
  return Q;
}
