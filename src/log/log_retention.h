#pragma once
// Retention of the log's day folders (Logs/YYYY_MM_DD): with KeepDays N above 0
// the folders of the last N days, today's included, are kept and older ones are
// removed with their files; anything else in the folder is left alone.

#include <string>

// Days since 1970-01-01 of a calendar date (proleptic Gregorian).
long DaysFromCivil(int Year, int Month, int Day);

// True when Name is a day folder's name (YYYY_MM_DD of a real date); its date.
bool ParseDayFolderName(const std::string& Name, int& Year, int& Month, int& Day);

// Removes the day folders in LogsDir older than KeepDays days before the date
// Today (given as days since 1970-01-01); nothing when KeepDays is 0 or less.
// The number of folders removed.
int RemoveOldDayFolders(const std::string& LogsDir, long Today, int KeepDays);
