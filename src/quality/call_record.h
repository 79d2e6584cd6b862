#pragma once
// The record of a finished call: what the bridge measured of the peer's audio,
// what the peer said of ours through RTCP, and the score. Written as one line
// of the hourly log and as one JSON object a line in calls.jsonl, a file in the
// log's day folder (so it is rotated and removed with the log), for a log
// shipper to collect. The status page shows the same figures with the same
// fixed formats, so that the log, the file and the page never disagree.
//
// Formats, the same everywhere: seconds, milliseconds and R with one decimal,
// percentages and MOS with two; a figure that could not be measured is "-" in
// the line, null in JSON.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quality/receive_stats.h"

// The figures of a call, or of one window of it. Empty: not measured.
struct TCallFigures {
  std::optional<double> RxLossPercent;     // the network's loss of the peer's stream
  std::optional<double> RxJitterMs;        // interarrival jitter
  std::optional<double> ConcealedPercent;  // audio made up, of the audio played
  std::optional<double> BufferDelayMs;     // the delay the receive buffer added (mean)
  std::optional<double> TxLossPercent;     // the peer's loss of our stream (RTCP)
  std::optional<double> RttMs;             // round trip to the peer (RTCP)
  std::optional<double> R;
  std::optional<double> Mos;
  // The score counts the network's share of the delay (half the round trip);
  // false: it was left out for want of RTCP, and the record says
  // "net_delay=unknown".
  bool NetworkDelayKnown = false;
  friend bool operator==(const TCallFigures&, const TCallFigures&) = default;
};

// The figures of a window or a whole call from the receive statistics, with
// the peer's view when RTCP gave it. A figure with nothing to measure it by (no
// packets expected, no audio played, nothing settled for a score) stays empty.
TCallFigures CallFiguresOf(const TQualityFigures& F, std::optional<double> TxLossPercent = std::nullopt,
                           std::optional<double> RttMs = std::nullopt);

// One figure of TCallFigures, with its names and format.
struct TCallFigureField {
  const char* Key;      // in the log line ("rx_loss")
  const char* JsonKey;  // in the JSON object ("rx_loss_percent")
  const char* Id;       // the element's id on the status page ("rx_loss")
  const char* Label;    // for people ("Receive loss")
  const char* Unit;     // after the number in the line and on the page ("%", "ms", "")
  int Decimals;
  std::optional<double> TCallFigures::*Value;
};
// In the order of the log line.
extern const std::array<TCallFigureField, 8> CallFigureFields;

struct TCallRecord {
  std::string PeerIp;
  uint16_t PeerPort = 0;
  std::chrono::system_clock::time_point Start{};  // the peer's CONNECTED
  double DurationS = 0;                           // to its DISCONNECTED
  TCallFigures Figures;
};

// Value with Decimals decimals ("-0.00" comes out as "0.00"); "-" when empty
// or not finite.
std::string FormatFigure(std::optional<double> Value, int Decimals);
inline constexpr int DurationDecimals = 1;

// "2024-05-01T10:02:03Z": UTC, to the second.
std::string FormatUtcTime(std::chrono::system_clock::time_point Time);

// CALL QUALITY: [IP=10.0.0.7,Port=5004] duration=62.4 rx_loss=1.25% rx_jitter=3.1ms
// concealed=0.80% delay=41.0ms tx_loss=0.50% rtt=12.0ms R=88.4 MOS=4.27
// (one line; a figure not measured is "-" without its unit; a score without the
// network's delay ends with " net_delay=unknown").
std::string CallRecordLine(const TCallRecord& Record);

// The record as one JSON object on one line (no line end), keys in a fixed
// order: peer_ip, peer_port, start, duration_s, the figures' JsonKey, then
// network_delay_known.
std::string CallRecordJson(const TCallRecord& Record);

// Text as a JSON string with its quotes: quote, backslash and control
// characters escaped; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view Text);

// The file beside the hourly logs that takes one JSON record a line.
inline constexpr const char* CallRecordFileName = "calls.jsonl";

// Writes the record: its line to the hourly log (whatever DoLog says) and its
// JSON to calls.jsonl in the log's day folder. Any thread may call it; nothing
// is thrown. A failed write of the file is logged once, with the next failure
// after a success logged again. False when the file was not written.
bool WriteCallRecord(const TCallRecord& Record) noexcept;
