#pragma once
// Keeps a flood of one text from filling the disk: a text (time stamp aside)
// already written twice to the same log in the last minute is counted from then
// on instead of written, until it has not come for a minute. Then, every ten
// minutes while it keeps coming, and at stop, one line says how many times it
// came. The first occurrences of every text are written as they come, so a
// change of state is never hidden; the banner and the lines of starting and
// stopping are always written.
//
// Not thread-safe: the file log calls it under its own lock.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class TRepeatFilter {
public:
  static constexpr int64_t WindowMs = 60 * 1000;           // two writes within it: counted from the third on
  static constexpr int64_t QuietMs = 60 * 1000;            // not come for so long: its count is written
  static constexpr int64_t ReportEveryMs = 10 * 60 * 1000;  // the count of a text that keeps coming

  // A count to be written into the log named by Key.
  struct TCount {
    std::string Key;
    std::string Text;
    uint64_t Times = 0;
    std::string Last;  // the time stamp of its last occurrence
  };

  // Decides about Text for the log Key at NowMs (a steady clock): true when it
  // is to be written. Stamp is the line's time stamp. Counts that have fallen
  // due (of any text) are appended to Due, to be written first.
  bool Admit(const std::string& Key, const std::string& Text, int64_t NowMs, const std::string& Stamp,
             std::vector<TCount>& Due);

  // Every count still open; the filter starts afresh.
  std::vector<TCount> Flush();

  // The line that reports a count.
  static std::string CountLine(const TCount& Count);

  // The banner and the lines of starting and stopping.
  static bool AlwaysWritten(const std::string& Text);

private:
  struct TEntry {
    int64_t Earlier = INT64_MIN;  // the two last writes
    int64_t Latest = INT64_MIN;
    bool Counting = false;
    uint64_t Times = 0;       // counted since the last report
    int64_t LastSeen = 0;
    int64_t LastReport = 0;
    std::string LastStamp;
  };
  using TKey = std::pair<std::string, std::string>;  // log, text

  void Sweep(int64_t NowMs, std::vector<TCount>& Due);
  static TCount CountOf(const TKey& Key, const TEntry& E) { return {Key.first, Key.second, E.Times, E.LastStamp}; }

  std::map<TKey, TEntry> FEntries;
  bool FSwept = false;
  int64_t FLastSweep = 0;
};
