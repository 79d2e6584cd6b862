#include "syslog_message.h"

#include <cmath>
#include <cstdio>

namespace LogClient {
namespace {
// RFC 5424 header fields are printable US-ASCII without blanks, of bounded length.
std::string HeaderField(const std::string& Text, size_t MaxLen) {
  if (Text.empty()) return "-";
  std::string Out;
  for (char C : Text) {
    if (Out.size() == MaxLen) break;
    const unsigned char U = static_cast<unsigned char>(C);
    Out += (U >= 33 && U <= 126) ? C : '_';
  }
  return Out;
}

void CivilFromDays(long Z, int& Y, int& M, int& D) {
  Z += 719468;
  const long Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const long Doe = Z - Era * 146097;
  const long Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
  const long Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
  const long Mp = (5 * Doy + 2) / 153;
  D = static_cast<int>(Doy - (153 * Mp + 2) / 5 + 1);
  M = static_cast<int>(Mp < 10 ? Mp + 3 : Mp - 9);
  Y = static_cast<int>(Yoe + Era * 400 + (M <= 2));
}

std::string Timestamp(double Ole, int OffsetMinutes) {
  if (Ole == 0.0) return "-";
  // OLE day 0 is 1899-12-30, which is 25569 days before 1970-01-01.
  const long long TotalMs = std::llround(Ole * 86400000.0);
  long long Days = TotalMs / 86400000;
  long long MsOfDay = TotalMs % 86400000;
  if (MsOfDay < 0) {
    MsOfDay += 86400000;
    --Days;
  }
  int Y, Mo, D;
  CivilFromDays(static_cast<long>(Days - 25569), Y, Mo, D);
  const int Ms = static_cast<int>(MsOfDay % 1000);
  const int S = static_cast<int>((MsOfDay / 1000) % 60);
  const int Mi = static_cast<int>((MsOfDay / 60000) % 60);
  const int H = static_cast<int>(MsOfDay / 3600000);
  const int AbsOff = OffsetMinutes < 0 ? -OffsetMinutes : OffsetMinutes;
  char Buf[64];
  std::snprintf(Buf, sizeof(Buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", Y, Mo, D, H, Mi, S,
                Ms, OffsetMinutes < 0 ? '-' : '+', AbsOff / 60, AbsOff % 60);
  return Buf;
}
}  // namespace

std::optional<TServerAddress> ParseServerAddress(const std::string& Text) {
  const std::string Scheme = "udp://";
  if (Text.compare(0, Scheme.size(), Scheme) != 0) return std::nullopt;
  const std::string Rest = Text.substr(Scheme.size());
  TServerAddress A;
  size_t Colon;
  if (!Rest.empty() && Rest[0] == '[') {
    const size_t Close = Rest.find(']');
    if (Close == std::string::npos || Close + 1 >= Rest.size() || Rest[Close + 1] != ':') return std::nullopt;
    A.Host = Rest.substr(1, Close - 1);
    Colon = Close + 1;
  } else {
    Colon = Rest.rfind(':');
    if (Colon == std::string::npos) return std::nullopt;
    A.Host = Rest.substr(0, Colon);
    if (A.Host.find(':') != std::string::npos) return std::nullopt;  // IPv6 needs brackets
  }
  A.Port = Rest.substr(Colon + 1);
  if (A.Host.empty() || A.Port.empty() || A.Port.size() > 5) return std::nullopt;
  unsigned long Port = 0;
  for (char C : A.Port) {
    if (C < '0' || C > '9') return std::nullopt;
    Port = Port * 10 + static_cast<unsigned long>(C - '0');
  }
  if (Port == 0 || Port > 65535) return std::nullopt;
  return A;
}

int UtcOffsetMinutes(double LocalOle, double UtcOle) {
  const double Minutes = (LocalOle - UtcOle) * 1440.0;
  return static_cast<int>(std::lround(Minutes / 15.0)) * 15;
}

std::string FormatSyslogMessage(const TLineInfo& L) {
  std::string M = "<14>1 ";
  M += Timestamp(L.Time, L.UtcOffsetMinutes);
  M += ' ';
  M += HeaderField(L.HostName, 255);
  M += ' ';
  M += HeaderField(L.AppName, 48);
  M += ' ';
  M += L.ProcessId ? std::to_string(L.ProcessId) : "-";
  M += ' ';
  M += HeaderField(L.FilePrefix, 32);
  M += " - ";
  M += L.Msg;
  return M;
}

}  // namespace LogClient
