#include "quality/call_record.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "log/log.h"
#include "platform/text.h"

const std::array<TCallFigureField, 8> CallFigureFields = {{
    {"rx_loss", "rx_loss_percent", "rx_loss", "Receive loss", "%", 2, &TCallFigures::RxLossPercent},
    {"rx_jitter", "rx_jitter_ms", "rx_jitter", "Receive jitter", "ms", 1, &TCallFigures::RxJitterMs},
    {"concealed", "concealed_percent", "concealed", "Concealed", "%", 2, &TCallFigures::ConcealedPercent},
    {"delay", "buffer_delay_ms", "delay", "Buffer delay", "ms", 1, &TCallFigures::BufferDelayMs},
    {"tx_loss", "tx_loss_percent", "tx_loss", "Send loss (peer)", "%", 2, &TCallFigures::TxLossPercent},
    {"rtt", "rtt_ms", "rtt", "Round trip", "ms", 1, &TCallFigures::RttMs},
    {"R", "r", "r", "R", "", 1, &TCallFigures::R},
    {"MOS", "mos", "mos", "MOS", "", 2, &TCallFigures::Mos},
}};

TCallFigures CallFiguresOf(const TQualityFigures& F, std::optional<double> TxLossPercent,
                           std::optional<double> RttMs) {
  TCallFigures C;
  if (F.Expected > 0) C.RxLossPercent = F.LossPercent;
  // Jitter needs two arrivals to compare.
  if (F.Packets >= 2) C.RxJitterMs = F.JitterMs;
  if (F.AudioMs > 0) C.ConcealedPercent = F.ConcealedPercent;
  // Silence is the only audio that was no frame taken from the buffer.
  if (F.AudioMs > F.SilentMs) C.BufferDelayMs = F.BufferDelayMs;
  C.TxLossPercent = TxLossPercent;
  C.RttMs = RttMs;
  if (F.Scored) {
    C.R = F.Score.R;
    C.Mos = F.Score.Mos;
    C.NetworkDelayKnown = F.Score.DelayKnown;
  }
  return C;
}

std::string FormatFigure(std::optional<double> Value, int Decimals) {
  if (!Value || !std::isfinite(*Value)) return "-";
  char Buf[64];
  std::snprintf(Buf, sizeof(Buf), "%.*f", Decimals, *Value);
  std::string Text = Buf;
  // A small negative value rounded to zero is zero.
  if (Text[0] == '-' && Text.find_first_of("123456789") == std::string::npos) Text.erase(0, 1);
  return Text;
}

std::string FormatUtcTime(std::chrono::system_clock::time_point Time) {
  using namespace std::chrono;
  const auto Seconds = floor<std::chrono::seconds>(Time);
  const auto Day = floor<days>(Seconds);
  const year_month_day Date{Day};
  const hh_mm_ss Clock{Seconds - Day};
  char Buf[48];
  std::snprintf(Buf, sizeof(Buf), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(Date.year()),
                static_cast<unsigned>(Date.month()), static_cast<unsigned>(Date.day()),
                static_cast<int>(Clock.hours().count()), static_cast<int>(Clock.minutes().count()),
                static_cast<int>(Clock.seconds().count()));
  return Buf;
}

std::string CallRecordLine(const TCallRecord& Record) {
  std::string Line = "CALL QUALITY: [IP=" + Record.PeerIp + ",Port=" + std::to_string(Record.PeerPort) +
                     "] duration=" + FormatFigure(Record.DurationS, DurationDecimals);
  for (const TCallFigureField& F : CallFigureFields) {
    const std::optional<double>& Value = Record.Figures.*F.Value;
    const std::string Text = FormatFigure(Value, F.Decimals);
    Line += std::string(" ") + F.Key + "=" + Text;
    if (Text != "-") Line += F.Unit;
  }
  if (Record.Figures.R && !Record.Figures.NetworkDelayKnown) Line += " net_delay=unknown";
  return Line;
}

std::string CallRecordJson(const TCallRecord& Record) {
  // The numbers in the formats of the line: a valid JSON number or null.
  const auto Number = [](std::optional<double> V, int Decimals) {
    const std::string Text = FormatFigure(V, Decimals);
    return Text == "-" ? std::string("null") : Text;
  };
  std::string Json = "{\"peer_ip\":" + JsonString(Record.PeerIp) +
                     ",\"peer_port\":" + std::to_string(Record.PeerPort) +
                     ",\"start\":" + JsonString(FormatUtcTime(Record.Start)) +
                     ",\"duration_s\":" + Number(Record.DurationS, DurationDecimals);
  for (const TCallFigureField& F : CallFigureFields)
    Json += std::string(",\"") + F.JsonKey + "\":" + Number(Record.Figures.*F.Value, F.Decimals);
  Json += ",\"network_delay_known\":";
  Json += !Record.Figures.R ? "null" : Record.Figures.NetworkDelayKnown ? "true" : "false";
  Json += '}';
  return Json;
}

std::string JsonString(std::string_view Text) {
  std::string Out = "\"";
  for (size_t I = 0; I < Text.size();) {
    const unsigned char C = static_cast<unsigned char>(Text[I]);
    if (C >= 0x80) {
      const size_t Length = Platform::Utf8SequenceLength(Text, I);
      if (Length == 0) {
        Out += "\\ufffd";
        ++I;
      } else {
        Out.append(Text.substr(I, Length));
        I += Length;
      }
      continue;
    }
    switch (C) {
      case '"': Out += "\\\""; break;
      case '\\': Out += "\\\\"; break;
      case '\b': Out += "\\b"; break;
      case '\f': Out += "\\f"; break;
      case '\n': Out += "\\n"; break;
      case '\r': Out += "\\r"; break;
      case '\t': Out += "\\t"; break;
      default:
        if (C < 0x20 || C == 0x7F) {
          char Buf[8];
          std::snprintf(Buf, sizeof(Buf), "\\u%04x", C);
          Out += Buf;
        } else {
          Out += static_cast<char>(C);
        }
    }
    ++I;
  }
  Out += '"';
  return Out;
}

namespace {
// Set once a failure to write the file has been logged; a success clears it.
std::atomic<bool> FileFailureLogged{false};
}  // namespace

bool WriteCallRecord(const TCallRecord& Record) noexcept {
  try {
    WriteLog(CallRecordLine(Record));
    const bool Written = AppendToLogDayFile(CallRecordFileName, CallRecordJson(Record) + "\n");
    if (Written) {
      FileFailureLogged = false;
    } else if (!FileFailureLogged.exchange(true)) {
      // Without a log to say it in, the next failure tries again.
      if (!WriteLog("Error: call record not written to " + LogDayFolder() + CallRecordFileName))
        FileFailureLogged = false;
    }
    return Written;
  } catch (...) {
    return false;
  }
}
