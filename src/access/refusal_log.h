#pragma once
// The log lines of refused senders, bounded: one line per address per minute,
// and no more than MaxLinesPerMinute lines in any minute whatever the number of
// addresses, so that a flood of forged sources cannot fill the disk. What is
// held back is counted and said with the next line written.

#include <cstdint>
#include <map>
#include <string>

#include "platform/mutex.h"

class TRefusalLog {
public:
  static constexpr uint32_t MinuteMs = 60000;
  static constexpr size_t MaxLinesPerMinute = 30;

  // Writes Line for Address (at tick Now) unless the address had a line in the
  // last minute or the minute's lines are used up; true when it was written.
  // Lines are written whatever DoLog says: a refusal is a security event.
  bool Write(const std::string& Address, const std::string& Line, uint32_t Now);

  // Refusals held back since the last line written.
  uint32_t HeldBack() const;

private:
  mutable Platform::TMutex FLock;
  // The addresses written in the last minute, with the tick of their line; as
  // many as the lines of that minute, so never more than MaxLinesPerMinute.
  std::map<std::string, uint32_t> FWritten GUARDED_BY(FLock);
  uint32_t FHeldBack GUARDED_BY(FLock) = 0;
};
