#pragma once
// TMetricsServer: a small HTTP endpoint for monitoring systems. GET only, one
// response per connection, then the connection closes. Bounded, so that a
// flood of connections or a hostile client costs little and never reaches the
// audio: at most MaxConnections at once and MaxPerSource of them from one
// source address, a request head of at most MaxRequestBytes, sent within
// MaxRequestMs; anything that is not a well-formed request gets 400 and nothing
// else happens. A connection refused (a source not admitted, a source at its
// limit, every slot taken) is closed at once without an answer and counted; it
// never holds a slot. One thread of its own serves every connection; the
// handler and the admission run on it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct THttpResponse {
  int Status = 200;
  std::string ContentType = "text/plain; charset=utf-8";
  std::string Body;
};

// Connections closed unanswered since the start, by why.
struct TMetricsRefusals {
  uint64_t NotAllowed = 0;      // the source is not admitted
  uint64_t PerSourceLimit = 0;  // the source already holds MaxPerSource
  uint64_t Busy = 0;            // all MaxConnections are taken
};

class TMetricsServer {
public:
  using THandler = std::function<THttpResponse(const std::string& Path)>;
  // Whether a source address ("127.0.0.1", "::1", "::ffff:10.0.0.1") may be
  // served; empty: anyone. A predicate, not an access list: the lists belong to
  // a subsystem above this one, and the host joins the two.
  using TAdmit = std::function<bool(const std::string& Address)>;
  static constexpr size_t MaxConnections = 8;
  // Below MaxConnections, so that one source cannot shut the others out.
  static constexpr size_t MaxPerSource = 2;
  static constexpr size_t MaxRequestBytes = 4096;
  static constexpr uint32_t MaxRequestMs = 3000;

  // Listen: HOST:PORT with a numeric IPv4 host or an IPv6 one in brackets
  // ("127.0.0.1:9464", "[::1]:9464"); port 0 takes a free one. Throws Exception
  // saying why when the text is not such or the port cannot be opened.
  TMetricsServer(const std::string& Listen, THandler Handler, TAdmit Admit = {});
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  uint16_t Port() const;
  TMetricsRefusals Refusals() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// The text of the first line of a response for a status ("OK", "Not Found"...).
const char* HttpReason(int Status);
