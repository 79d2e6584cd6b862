// The log-server client library: three exports that the program's log calls.
// Lines go out as syslog messages over UDP, one datagram each, to the server
// named by the text handed to DLL_Initialize ("udp://HOST:PORT").

#include <chrono>
#include <memory>

#include <asio.hpp>

#include "platform/mutex.h"
#include "syslog_message.h"

#if defined(_WIN32)
#include <windows.h>
#define LOGCLIENT_EXPORT extern "C" __declspec(dllexport)
#define LOGCLIENT_CALL __stdcall
static unsigned long CurrentProcessId() { return GetCurrentProcessId(); }
#else
#include <unistd.h>
#define LOGCLIENT_EXPORT extern "C" __attribute__((visibility("default")))
#define LOGCLIENT_CALL
static unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }
#endif

namespace {

class TSender {
public:
  // Resolves the address and opens the socket; throws when either fails.
  explicit TSender(const LogClient::TServerAddress& Address) : FSocket(FIo) {
    asio::ip::udp::resolver Resolver(FIo);
    auto Results = Resolver.resolve(Address.Host, Address.Port);
    if (Results.empty()) throw std::runtime_error("no address");
    FServer = *Results.begin();
    FSocket.open(FServer.protocol());
    std::error_code Ec;
    FHostName = asio::ip::host_name(Ec);
  }

  bool Send(double Time, const char* ExeName, const char* FilePrefix, const char* Msg) {
    LogClient::TLineInfo Line;
    Line.Time = Time;
    if (Time != 0.0) Line.UtcOffsetMinutes = LogClient::UtcOffsetMinutes(Time, UtcNowOle());
    Line.HostName = FHostName;
    Line.AppName = ExeName ? ExeName : "";
    Line.ProcessId = CurrentProcessId();
    Line.FilePrefix = FilePrefix ? FilePrefix : "";
    Line.Msg = Msg ? Msg : "";
    const std::string Datagram = LogClient::FormatSyslogMessage(Line);
    std::error_code Ec;
    // Several of the program's threads may log at once; one send at a time.
    Platform::TLockGuard Guard(FLock);
    const size_t Sent = FSocket.send_to(asio::buffer(Datagram), FServer, 0, Ec);
    return !Ec && Sent == Datagram.size();
  }

private:
  static double UtcNowOle() {
    using namespace std::chrono;
    const double Ms = static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    return Ms / 86400000.0 + 25569.0;
  }

  asio::io_context FIo;
  asio::ip::udp::socket FSocket GUARDED_BY(FLock);  // while sending
  asio::ip::udp::endpoint FServer;
  std::string FHostName;
  Platform::TMutex FLock;
};

Platform::TMutex SenderLock;            // guards Sender's replacement
std::shared_ptr<TSender> Sender;  // the current server, or none

std::shared_ptr<TSender> CurrentSender() {
  Platform::TLockGuard Guard(SenderLock);
  return Sender;
}

}  // namespace

// Params: "udp://HOST:PORT". The integer is not used. True when the address
// could be resolved and a socket opened; lines are refused until then.
LOGCLIENT_EXPORT unsigned char LOGCLIENT_CALL DLL_Initialize(const char* Params, int) noexcept {
  try {
    std::shared_ptr<TSender> New;
    if (Params) {
      if (const auto Address = LogClient::ParseServerAddress(Params)) New = std::make_shared<TSender>(*Address);
    }
    Platform::TLockGuard Guard(SenderLock);
    Sender = New;
    return New ? 1 : 0;
  } catch (...) {
    Platform::TLockGuard Guard(SenderLock);
    Sender.reset();
    return 0;
  }
}

LOGCLIENT_EXPORT void LOGCLIENT_CALL DLL_Finalize() noexcept {
  try {
    Platform::TLockGuard Guard(SenderLock);
    Sender.reset();
  } catch (...) {
  }
}

// True when the line was handed to the network; false sends it to the file.
LOGCLIENT_EXPORT unsigned char LOGCLIENT_CALL DLL_MessageToLogServer(double Time, const char* ExeName,
                                                                    const char* /*ModuleName*/,
                                                                    const char* FilePrefix,
                                                                    const char* Msg) noexcept {
  try {
    const std::shared_ptr<TSender> S = CurrentSender();
    return S && S->Send(Time, ExeName, FilePrefix, Msg) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
