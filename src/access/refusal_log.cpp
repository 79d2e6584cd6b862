#include "access/refusal_log.h"

#include "log/log.h"
#include "platform/exception.h"
#include "platform/mutex.h"

bool TRefusalLog::Write(const std::string& Address, const std::string& Line, uint32_t Now) {
  uint32_t Held;
  {
    Platform::TLockGuard Guard(FLock);
    for (auto It = FWritten.begin(); It != FWritten.end();)
      It = static_cast<uint32_t>(Now - It->second) >= MinuteMs ? FWritten.erase(It) : std::next(It);
    if (FWritten.count(Address) != 0 || FWritten.size() >= MaxLinesPerMinute) {
      ++FHeldBack;
      return false;
    }
    FWritten[Address] = Now;
    Held = FHeldBack;
    FHeldBack = 0;
  }
  if (Held > 0) WriteLog(Format("REFUSED: %u more refusals not logged", Held));
  WriteLog(Line);
  return true;
}

uint32_t TRefusalLog::HeldBack() const {
  Platform::TLockGuard Guard(FLock);
  return FHeldBack;
}
