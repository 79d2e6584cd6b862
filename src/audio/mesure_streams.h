#pragma once
// TMesureStreams: counts the audio bytes the session sends and plays and, once
// per interval, writes both average rates to the "measure" side log. Used by
// the session thread alone, so it has no lock.

#include <cstdint>
#include <functional>
#include <string>

class TMesureStreams {
public:
  using TTickSource = std::function<uint32_t()>;

  // IntervalMs: the reporting interval (the session uses 10000). Tick: the
  // millisecond tick counter; the system's unless a test gives its own.
  explicit TMesureStreams(uint32_t IntervalMs, TTickSource Tick = {});
  TMesureStreams(const TMesureStreams&) = delete;
  TMesureStreams& operator=(const TMesureStreams&) = delete;

  void AddSent(uint32_t Bytes) { FSentBytes += Bytes; }
  void AddReceived(uint32_t Bytes) { FReceivedBytes += Bytes; }
  // True once the interval has passed (unsigned tick arithmetic, so the
  // counter's wrap does no harm).
  bool IsDue();
  // Writes "Send AV[...], Receive AV[...]" to the measure file, whatever DoLog
  // says, and starts a new interval.
  void Report();

private:
  // The line Report writes, for the counts now.
  std::string ReportLine() const;
  uint32_t Now() const;

  const TTickSource FTick;
  uint32_t FInterval;
  uint32_t FSentBytes = 0;
  uint32_t FReceivedBytes = 0;
  uint32_t FStartTick;
};
