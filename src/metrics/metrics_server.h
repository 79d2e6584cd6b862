#pragma once
// TMetricsServer: a small HTTP endpoint for monitoring systems. GET only, one
// response per connection, then the connection closes. Bounded, so that a
// flood of connections or a hostile client costs little and never reaches the
// audio: at most MaxConnections at once (more are closed at once), a request
// head of at most MaxRequestBytes, sent within MaxRequestMs; anything that is
// not a well-formed request gets 400 and nothing else happens. One thread of
// its own serves every connection; the handler runs on it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct THttpResponse {
  int Status = 200;
  std::string ContentType = "text/plain; charset=utf-8";
  std::string Body;
};

class TMetricsServer {
public:
  using THandler = std::function<THttpResponse(const std::string& Path)>;
  static constexpr size_t MaxConnections = 8;
  static constexpr size_t MaxRequestBytes = 4096;
  static constexpr uint32_t MaxRequestMs = 3000;

  // Listen: HOST:PORT with a numeric IPv4 host or an IPv6 one in brackets
  // ("127.0.0.1:9464", "[::1]:9464"); port 0 takes a free one. Throws Exception
  // saying why when the text is not such or the port cannot be opened.
  TMetricsServer(const std::string& Listen, THandler Handler);
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  uint16_t Port() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// The text of the first line of a response for a status ("OK", "Not Found"...).
const char* HttpReason(int Status);
