#pragma once
// The syslog message (RFC 5424) that the log-server client sends for one line,
// and the parsing of its server address text. Kept apart from the socket code so
// that both can be checked on their own.

#include <optional>
#include <string>

namespace LogClient {

struct TServerAddress {
  std::string Host;  // name or address, IPv6 without brackets
  std::string Port;
};

// "udp://HOST:PORT" with HOST a name, an IPv4 address or [IPv6]; nothing else.
std::optional<TServerAddress> ParseServerAddress(const std::string& Text);

struct TLineInfo {
  double Time = 0.0;          // OLE date in local time; 0 for lines without time
  int UtcOffsetMinutes = 0;   // the local time's offset from UTC
  std::string HostName;
  std::string AppName;        // the executable's name
  unsigned long ProcessId = 0;
  std::string FilePrefix;     // side-file prefix, empty for the main log
  std::string Msg;
};

// <14>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID - MSG
// (facility user, severity informational; "-" for empty or absent fields).
std::string FormatSyslogMessage(const TLineInfo& Line);

// The local offset that makes LocalOle the same moment as UtcOle, rounded to a
// quarter of an hour (the two are read a moment apart).
int UtcOffsetMinutes(double LocalOle, double UtcOle);

}  // namespace LogClient
