#include "log/log_retention.h"

#include "platform/files.h"
#include "platform/paths.h"

long DaysFromCivil(int Year, int Month, int Day) {
  // Howard Hinnant's days_from_civil.
  const int Y = Year - (Month <= 2 ? 1 : 0);
  const long Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
  const unsigned Doy = (153u * static_cast<unsigned>(Month > 2 ? Month - 3 : Month + 9) + 2) / 5 +
                       static_cast<unsigned>(Day) - 1;
  const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + static_cast<long>(Doe) - 719468;
}

bool ParseDayFolderName(const std::string& Name, int& Year, int& Month, int& Day) {
  if (Name.size() != 10 || Name[4] != '_' || Name[7] != '_') return false;
  for (size_t I : {0, 1, 2, 3, 5, 6, 8, 9})
    if (Name[I] < '0' || Name[I] > '9') return false;
  Year = std::stoi(Name.substr(0, 4));
  Month = std::stoi(Name.substr(5, 2));
  Day = std::stoi(Name.substr(8, 2));
  if (Month < 1 || Month > 12 || Day < 1) return false;
  // The day must exist in that month: the next day's count is one more.
  const int NextMonth = Month == 12 ? 1 : Month + 1;
  const int NextYear = Month == 12 ? Year + 1 : Year;
  return DaysFromCivil(Year, Month, Day) < DaysFromCivil(NextYear, NextMonth, 1);
}

int RemoveOldDayFolders(const std::string& LogsDir, long Today, int KeepDays) {
  if (KeepDays <= 0) return 0;
  std::string Dir = LogsDir;
  while (Dir.size() > 1 && Dir.back() == Platform::PathDelim()) Dir.pop_back();
  int Removed = 0;
  for (const std::string& Name : Platform::ListFolders(Dir)) {
    int Y, M, D;
    if (!ParseDayFolderName(Name, Y, M, D)) continue;
    if (Today - DaysFromCivil(Y, M, D) < KeepDays) continue;
    if (Platform::RemoveFolderTree(Dir + Platform::PathDelim() + Name)) ++Removed;
  }
  return Removed;
}
