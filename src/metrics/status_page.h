#pragma once
// The status page for people (GET / of the monitoring endpoint): one
// self-contained HTML document that reloads itself every 5 s. It shows the
// session and its devices, the peers, the current call's figures, a plot of
// MOS, loss and jitter over the last 15 minutes and the last 20 call records.
// Inline CSS and inline SVG only: no script, nothing fetched from elsewhere, so
// it works on a desk without internet. The renderer is pure: the host fills a
// snapshot, the page is made from it alone.
//
// The figures use the call record's fixed formats (quality/call_record.h),
// from the same values the host gives /metrics, so the page, the log and
// calls.jsonl show the same numbers. Each live figure carries an element id:
// rx_loss, rx_jitter, concealed, delay, tx_loss, rtt, r, mos; so do the
// session and devices' states: session, capture, playback. Times are UTC.
//
// Texts (device names, addresses) are taken as UTF-8 and escaped; a byte that
// is not UTF-8 shows as U+FFFD.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quality/call_record.h"

struct TStatusDevice {
  std::string Name;   // empty: not known
  std::string State;  // as /metrics names it: "open", "missing", "stalled"
};

struct TStatusPeer {
  std::string Ip;
  uint16_t Port = 0;
  std::optional<uint32_t> Ssrc;  // none before its first RTP packet
  std::chrono::system_clock::time_point Since{};
};

// One closed 10 s window of a call.
struct TStatusPoint {
  std::chrono::system_clock::time_point Time{};  // its end
  std::optional<double> Mos, LossPercent, JitterMs;
};

struct TStatusSnapshot {
  std::chrono::system_clock::time_point Now{};  // the plot ends here
  std::string Version;
  uint64_t UptimeS = 0;
  std::string SessionState;  // "running" or "stopped"
  TStatusDevice Capture, Playback;
  std::vector<TStatusPeer> Peers;
  std::optional<TCallFigures> Live;   // the current call's last window; none while no call runs
  std::vector<TStatusPoint> History;  // oldest first
  std::vector<TCallRecord> Records;   // newest first
};

inline constexpr const char* StatusPageContentType = "text/html; charset=utf-8";
inline constexpr int StatusRefreshSeconds = 5;
// The plot's span and the points it draws at most: 15 minutes of 10 s windows.
inline constexpr std::chrono::seconds StatusHistorySpan{15 * 60};
inline constexpr size_t StatusHistoryPoints = 90;
// Points further apart than this are not joined (the windows of two calls).
inline constexpr std::chrono::seconds StatusHistoryGap{20};
inline constexpr size_t StatusRecords = 20;

std::string RenderStatusPage(const TStatusSnapshot& S);

// Text for HTML content and attribute values: & < > " ' escaped; control
// characters and bytes that are not UTF-8 become U+FFFD.
std::string HtmlEscape(std::string_view Text);
