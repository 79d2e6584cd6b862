#pragma once
// A snapshot of a busy bridge for the status page's tests: hostile names,
// a call running, 100 windows of history (more than the plot keeps) and 25
// records (more than the page lists).

#include <string>

#include "metrics/status_page.h"

namespace StatusPageTest {

inline const std::string Hostile = "<script>alert(\"x\")</script> & 'Mic'";

inline TStatusSnapshot FullSnapshot() {
  using namespace std::chrono;
  TStatusSnapshot S;
  S.Now = sys_days{year{2024} / 5 / 1} + hours{10} + minutes{15};
  S.Version = Hostile;
  S.UptimeS = 86400 + 3600 + 60 + 1;
  S.SessionState = "running";
  S.Capture = {Hostile, "open"};
  S.Playback = {Hostile, "stalled"};
  S.Peers = {{Hostile, 5004, 0xC0FFEE, S.Now - minutes{15}}, {"192.0.2.9", 6000, std::nullopt, S.Now - minutes{1}}};
  S.Live = TCallFigures{1.25, 3.06, 0.8, 41, std::nullopt, 12, 93.2, 4.41, true};
  for (int I = 0; I < 100; ++I) {
    TStatusPoint P;
    P.Time = S.Now - seconds{10 * (99 - I)};
    P.Mos = 1 + 4.0 * I / 99;
    P.LossPercent = 0.05 * I;
    P.JitterMs = 2 + I % 7;
    S.History.push_back(P);
  }
  for (int I = 0; I < 25; ++I) {
    TCallRecord R;
    R.PeerIp = I == 0 ? Hostile : "10.0.1." + std::to_string(I);
    R.PeerPort = 5004;
    R.Start = sys_days{year{2024} / 5 / 1} + hours{9} + seconds{I};
    R.DurationS = 61.5;
    R.Figures.RxLossPercent = 2;
    R.Figures.R = 85;
    R.Figures.Mos = 4.1;
    R.Figures.NetworkDelayKnown = I == 0;
    S.Records.push_back(R);
  }
  return S;
}

}  // namespace StatusPageTest
