#pragma once
// The bridge's health and counters for a monitoring system, served over HTTP
// when [Metrics] Listen is set: GET /metrics (Prometheus text), GET /health
// (200 while the session runs with both devices open, 503 otherwise, with the
// reason on one line) and GET / (the status page for people). [Metrics] Allow, when set, names the only sources served.
//
// The host thread publishes the session's state after the start and every
// 300 ms; a request reads the latest of it. So a request never touches the
// session itself, whatever its thread is doing.

#include <cstdint>
#include <memory>
#include <string>

#include "config/metrics_settings.h"
#include "log/log.h"
#include "metrics/metrics_server.h"
#include "metrics/status_page.h"
#include "platform/mutex.h"
#include "rtp/rtp_session.h"

class TBridgeMetrics {
public:
  // Starts the endpoint; throws Exception when it cannot listen or Allow has
  // an entry that is neither an address nor a network (saying which).
  TBridgeMetrics(const TMetricsSettings& Settings, const std::string& Version);
  ~TBridgeMetrics();

  // Host thread: the session's state now; null when no session runs.
  void Publish(TRtpSession* Session);
  // The same with the state given (tests).
  void Publish(const TSessionMetrics& M, bool HasSession);
  uint16_t Port();

  // What the endpoint answers, from a published state (public for tests).
  static std::string RenderMetrics(const TSessionMetrics& M, bool HasSession, const std::string& Version,
                                   uint32_t UpMs, const TLogLineCounts& Log, const TMetricsRefusals& Refused);
  static THttpResponse Health(const TSessionMetrics& M, bool HasSession);
  static TStatusSnapshot StatusOf(const TSessionMetrics& M, bool HasSession, const std::string& Version,
                                  uint32_t UpMs);

private:
  THttpResponse Serve(const std::string& Path);

  const std::string FVersion;
  const uint32_t FStartTick;
  Platform::TMutex FLock;
  TSessionMetrics FLatest GUARDED_BY(FLock);
  bool FHasSession GUARDED_BY(FLock) = false;
  // Last: stopped before the rest goes. Guarded because the server's thread,
  // which reads its counters, runs before the constructor has stored it.
  std::unique_ptr<TMetricsServer> FServer GUARDED_BY(FLock);
};
