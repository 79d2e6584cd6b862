#include "metrics/status_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/text.h"

namespace {

using TTime = std::chrono::system_clock::time_point;

const char* const Style =
    "body{font-family:sans-serif;margin:1.5em;color:#222;background:#fff}"
    "h1{font-size:1.4em;margin:0 0 .2em}h2{font-size:1.1em;margin:1.4em 0 .4em}"
    "table{border-collapse:collapse}th,td{border:1px solid #ccc;padding:.2em .6em;text-align:left}td{white-space:nowrap}"
    "th{background:#f3f3f3;font-weight:normal}td.n{text-align:right;font-variant-numeric:tabular-nums}"
    ".ok{color:#176f2c;font-weight:bold}.bad{color:#b00020;font-weight:bold}.muted{color:#666}"
    "svg text{font-size:11px;font-family:sans-serif;fill:#444}";

std::string Format(const char* Pattern, double A, double B = 0) {
  char Buf[64];
  std::snprintf(Buf, sizeof(Buf), Pattern, A, B);
  return Buf;
}

// "2024-05-01 10:02:03"
std::string PageTime(TTime Time) {
  std::string Text = FormatUtcTime(Time);
  const size_t T = Text.find('T');
  if (T != std::string::npos) Text[T] = ' ';
  Text.pop_back();  // the Z: the page says UTC once
  return Text;
}

std::string Uptime(uint64_t Seconds) {
  char Buf[32];
  std::snprintf(Buf, sizeof(Buf), "%02u:%02u:%02u", static_cast<unsigned>(Seconds / 3600 % 24),
                static_cast<unsigned>(Seconds / 60 % 60), static_cast<unsigned>(Seconds % 60));
  const uint64_t Days = Seconds / 86400;
  return Days > 0 ? std::to_string(Days) + " d " + Buf : std::string(Buf);
}

std::string Endpoint(const std::string& Ip, uint16_t Port) {
  const std::string Host = Ip.find(':') != std::string::npos ? "[" + Ip + "]" : Ip;
  return HtmlEscape(Host) + ":" + std::to_string(Port);
}

// A state cell: green for a state that is as it should be, red otherwise.
std::string StateCell(const char* Id, const std::string& State) {
  const bool Good = State == "open" || State == "running";
  return std::string("<td id=\"") + Id + "\" class=\"" + (Good ? "ok" : "bad") + "\">" +
         (State.empty() ? std::string("unknown") : HtmlEscape(State)) + "</td>";
}

void SessionAndDevices(std::string& Out, const TStatusSnapshot& S) {
  Out += "<h2>Session and devices</h2>\n<table>\n<tr><th>Session</th><td></td>" +
         StateCell("session", S.SessionState) + "</tr>\n";
  const struct {
    const char* Id;
    const char* Label;
    const TStatusDevice* Device;
  } Devices[] = {{"capture", "Microphone", &S.Capture}, {"playback", "Earpiece", &S.Playback}};
  for (const auto& [Id, Label, D] : Devices) {
    Out += std::string("<tr><th>") + Label + "</th><td>" +
           (D->Name.empty() ? std::string("<span class=\"muted\">not known</span>") : HtmlEscape(D->Name)) +
           "</td>" + StateCell(Id, D->State) + "</tr>\n";
  }
  Out += "</table>\n";
}

void Peers(std::string& Out, const TStatusSnapshot& S) {
  Out += "<h2>Peers</h2>\n";
  if (S.Peers.empty()) {
    Out += "<p class=\"muted\">No peer.</p>\n";
    return;
  }
  Out += "<table>\n<tr><th>Peer</th><th>SSRC</th><th>Since (UTC)</th></tr>\n";
  for (const TStatusPeer& P : S.Peers) {
    char Ssrc[16] = "-";
    if (P.Ssrc) std::snprintf(Ssrc, sizeof(Ssrc), "0x%08X", static_cast<unsigned>(*P.Ssrc));
    Out += "<tr><td>" + Endpoint(P.Ip, P.Port) + "</td><td>" + Ssrc + "</td><td>" + PageTime(P.Since) +
           "</td></tr>\n";
  }
  Out += "</table>\n";
}

void ScoreNote(std::string& Out, const TCallFigures& F) {
  if (F.R && !F.NetworkDelayKnown)
    Out += "<p class=\"muted\">The score leaves out the network's delay: the peer sends no RTCP round trip.</p>\n";
}

void CurrentCall(std::string& Out, const TStatusSnapshot& S) {
  Out += "<h2>Current call (last 10 s)</h2>\n";
  if (!S.Live) {
    Out += "<p class=\"muted\">No call.</p>\n";
    return;
  }
  Out += "<table>\n";
  for (const TCallFigureField& F : CallFigureFields)
    Out += std::string("<tr><th>") + F.Label + "</th><td class=\"n\" id=\"" + F.Id + "\">" +
           FormatFigure((*S.Live).*F.Value, F.Decimals) + "</td><td>" + F.Unit + "</td></tr>\n";
  Out += "</table>\n";
  ScoreNote(Out, *S.Live);
}

// --- The plot ----------------------------------------------------------------

// Drawn as inline SVG without a namespace attribute: the HTML parser gives it
// one, and the page names no address.
constexpr double PlotLeft = 48, PlotRight = 12, PlotTop = 20, PanelHeight = 100, PanelGap = 30, AxisHeight = 22;
constexpr double PlotWidth = 720, PlotInner = PlotWidth - PlotLeft - PlotRight;

struct TSeries {
  const char* Title;
  const char* Colour;
  std::optional<double> TStatusPoint::*Value;
  double Min;  // the scale's fixed floor
  double Max;  // the scale's least ceiling; raised to a round number above the highest point
  bool Fixed;  // MOS: always 1 to 5
};
const TSeries Series[] = {
    {"MOS", "#1f5fbf", &TStatusPoint::Mos, 1, 5, true},
    {"Loss %", "#b00020", &TStatusPoint::LossPercent, 0, 1, false},
    {"Jitter ms", "#c06000", &TStatusPoint::JitterMs, 0, 10, false},
};

// The least of 1, 2, 5 times a power of ten that is at least V.
double RoundCeiling(double V) {
  const double Power = std::pow(10.0, std::floor(std::log10(V)));
  for (double M : {1.0, 2.0, 5.0})
    if (M * Power >= V) return M * Power;
  return 10 * Power;
}

// Where a panel puts a time and a value.
struct TScale {
  double Top;
  TTime From;
  double Min, Max;
  double X(TTime T) const {
    return PlotLeft + std::chrono::duration<double>(T - From).count() / StatusHistorySpan.count() * PlotInner;
  }
  double Y(double V) const { return Top + PanelHeight - (std::clamp(V, Min, Max) - Min) / (Max - Min) * PanelHeight; }
};

// The frame of a panel: its title, its box, a line every five minutes, and the
// scale's ticks with their labels.
void PanelFrame(std::string& Out, const TSeries& Line, const TScale& Scale) {
  const double Top = Scale.Top;
  Out += "<text x=\"" + Format("%.1f", PlotLeft) + "\" y=\"" + Format("%.1f", Top - 6) + "\">" + Line.Title + "</text>\n";
  Out += "<rect x=\"" + Format("%.1f", PlotLeft) + "\" y=\"" + Format("%.1f", Top) + "\" width=\"" +
         Format("%.1f", PlotInner) + "\" height=\"" + Format("%.1f", PanelHeight) +
         "\" fill=\"#fafafa\" stroke=\"#999\"/>\n";
  for (int Minute = 5; Minute < 15; Minute += 5) {
    const double Gx = PlotLeft + PlotInner * Minute / 15;
    Out += "<line x1=\"" + Format("%.1f", Gx) + "\" y1=\"" + Format("%.1f", Top) + "\" x2=\"" + Format("%.1f", Gx) +
           "\" y2=\"" + Format("%.1f", Top + PanelHeight) + "\" stroke=\"#ddd\"/>\n";
  }
  std::vector<double> Ticks;
  if (Line.Fixed)
    for (double V = Scale.Min; V <= Scale.Max; V += 1) Ticks.push_back(V);
  else
    Ticks = {Scale.Min, (Scale.Min + Scale.Max) / 2, Scale.Max};
  for (double V : Ticks) {
    const double Gy = Scale.Y(V);
    Out += "<line x1=\"" + Format("%.1f", PlotLeft) + "\" y1=\"" + Format("%.1f", Gy) + "\" x2=\"" +
           Format("%.1f", PlotLeft + PlotInner) + "\" y2=\"" + Format("%.1f", Gy) + "\" stroke=\"#ddd\"/>\n";
    Out += "<text x=\"" + Format("%.1f", PlotLeft - 4) + "\" y=\"" + Format("%.1f", Gy + 4) +
           "\" text-anchor=\"end\">" + Format("%g", V) + "</text>\n";
  }
}

// The line, broken where a window has no figure or windows are apart; a point
// alone is a dot.
void PanelLine(std::string& Out, const TSeries& Line, const TScale& Scale,
               const std::vector<const TStatusPoint*>& Points) {
  std::vector<std::string> Run;
  const auto EndRun = [&] {
    if (Run.size() == 1) {
      const size_t Comma = Run[0].find(',');
      Out += "<circle cx=\"" + Run[0].substr(0, Comma) + "\" cy=\"" + Run[0].substr(Comma + 1) + "\" r=\"2\" fill=\"" +
             Line.Colour + "\"/>\n";
    } else if (Run.size() > 1) {
      Out += "<polyline fill=\"none\" stroke-width=\"1.5\" stroke=\"" + std::string(Line.Colour) + "\" points=\"";
      for (size_t I = 0; I < Run.size(); ++I) Out += (I > 0 ? " " : "") + Run[I];
      Out += "\"/>\n";
    }
    Run.clear();
  };
  const TStatusPoint* Previous = nullptr;
  for (const TStatusPoint* P : Points) {
    const std::optional<double>& V = P->*Line.Value;
    if (Previous && P->Time - Previous->Time > StatusHistoryGap) EndRun();
    Previous = P;
    if (!V || !std::isfinite(*V)) {
      EndRun();
      continue;
    }
    Run.push_back(Format("%.1f,%.1f", Scale.X(P->Time), Scale.Y(*V)));
  }
  EndRun();
}

void Panel(std::string& Out, const TSeries& Line, double Top, TTime From,
           const std::vector<const TStatusPoint*>& Points) {
  double Max = Line.Max;
  if (!Line.Fixed) {
    for (const TStatusPoint* P : Points)
      if (const std::optional<double>& V = P->*Line.Value; V && std::isfinite(*V)) Max = std::max(Max, *V);
    Max = RoundCeiling(Max);
  }
  const TScale Scale{Top, From, Line.Min, Max};
  PanelFrame(Out, Line, Scale);
  PanelLine(Out, Line, Scale, Points);
}

void Plot(std::string& Out, const TStatusSnapshot& S) {
  Out += "<h2>The last 15 minutes (10 s windows)</h2>\n";
  const TTime From = S.Now - StatusHistorySpan;
  std::vector<const TStatusPoint*> Points;
  for (const TStatusPoint& P : S.History)
    if (P.Time >= From && P.Time <= S.Now) Points.push_back(&P);
  if (Points.size() > StatusHistoryPoints) Points.erase(Points.begin(), Points.end() - StatusHistoryPoints);
  if (Points.empty()) Out += "<p class=\"muted\">No call in the last 15 minutes.</p>\n";

  const double Height = PlotTop + 3 * PanelHeight + 2 * PanelGap + AxisHeight;
  Out += "<svg role=\"img\" aria-label=\"MOS, loss and jitter over the last 15 minutes\" width=\"" +
         Format("%.0f", PlotWidth) + "\" height=\"" + Format("%.0f", Height) + "\" viewBox=\"0 0 " +
         Format("%.0f %.0f", PlotWidth, Height) + "\">\n";
  double Top = PlotTop;
  for (const TSeries& Line : Series) {
    Panel(Out, Line, Top, From, Points);
    Top += PanelHeight + PanelGap;
  }
  const double AxisY = Top - PanelGap + 14;
  const char* const Labels[] = {"-15 min", "-10 min", "-5 min", "now"};
  for (int I = 0; I < 4; ++I)
    Out += "<text x=\"" + Format("%.1f", PlotLeft + PlotInner * I / 3) + "\" y=\"" + Format("%.1f", AxisY) +
           "\" text-anchor=\"" + (I == 0 ? "start" : I == 3 ? "end" : "middle") + "\">" + Labels[I] + "</text>\n";
  Out += "</svg>\n";
}

void Records(std::string& Out, const TStatusSnapshot& S) {
  Out += "<h2>Last calls</h2>\n";
  if (S.Records.empty()) {
    Out += "<p class=\"muted\">No call has ended yet.</p>\n";
    return;
  }
  Out += "<table>\n<tr><th>Start (UTC)</th><th>Peer</th><th>Duration s</th>";
  for (const TCallFigureField& F : CallFigureFields)
    Out += std::string("<th>") + F.Label + (*F.Unit ? std::string(" ") + F.Unit : std::string()) + "</th>";
  Out += "<th></th></tr>\n";
  const size_t Count = std::min(S.Records.size(), StatusRecords);
  for (size_t I = 0; I < Count; ++I) {
    const TCallRecord& R = S.Records[I];
    Out += "<tr><td>" + PageTime(R.Start) + "</td><td>" + Endpoint(R.PeerIp, R.PeerPort) + "</td><td class=\"n\">" +
           FormatFigure(R.DurationS, DurationDecimals) + "</td>";
    for (const TCallFigureField& F : CallFigureFields)
      Out += "<td class=\"n\">" + FormatFigure(R.Figures.*F.Value, F.Decimals) + "</td>";
    Out += std::string("<td class=\"muted\">") +
           (R.Figures.R && !R.Figures.NetworkDelayKnown ? "score without network delay" : "") + "</td></tr>\n";
  }
  Out += "</table>\n";
}

}  // namespace

std::string HtmlEscape(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t I = 0; I < Text.size();) {
    const unsigned char C = static_cast<unsigned char>(Text[I]);
    const size_t Length = Platform::Utf8SequenceLength(Text, I);
    if (Length == 0 || (C < 0x20 && C != '\t' && C != '\n' && C != '\r') || C == 0x7F) {
      Out += "&#xFFFD;";
      I += Length == 0 ? 1 : Length;
      continue;
    }
    switch (C) {
      case '&': Out += "&amp;"; break;
      case '<': Out += "&lt;"; break;
      case '>': Out += "&gt;"; break;
      case '"': Out += "&quot;"; break;
      case '\'': Out += "&#39;"; break;
      default: Out.append(Text.substr(I, Length));
    }
    I += Length;
  }
  return Out;
}

std::string RenderStatusPage(const TStatusSnapshot& S) {
  std::string Out;
  Out.reserve(32768);
  Out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta http-equiv=\"refresh\" content=\"" + std::to_string(StatusRefreshSeconds) + "\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<title>Brenvic status</title>\n<style>" + Style + "</style>\n</head>\n<body>\n";
  Out += "<h1>Brenvic status</h1>\n<p class=\"muted\">Version " + HtmlEscape(S.Version) + " &middot; up " +
         Uptime(S.UptimeS) + " &middot; " + PageTime(S.Now) + " UTC &middot; this page reloads every " +
         std::to_string(StatusRefreshSeconds) + " s</p>\n";
  SessionAndDevices(Out, S);
  Peers(Out, S);
  CurrentCall(Out, S);
  Plot(Out, S);
  Records(Out, S);
  Out += "</body>\n</html>\n";
  return Out;
}
