#pragma once
// The system's service manager: registration, start and stop of one service.
// Each operation opens what it needs and closes it before it returns; none waits
// for the service to reach a new state. Results are 0 or a system error code
// (its text comes from SystemMessage).

#include <cstdint>
#include <string>

namespace Platform {

struct TServiceIdentity {
  std::string Name;         // the key the service manager knows it by
  std::string DisplayName;
  std::string Description;  // written after the registration; failures ignored
  std::string ExePath;      // started with no arguments
};

// 0 when the service manager knows a service of this name.
int ServiceQueryInstalled(const std::string& Name);

// Registers the service (automatic start, own process, local system account),
// with the service manager's recovery after a failure (restart after a minute,
// twice, then nothing; the count is reset after a day) and, on Windows, an event
// source of the same name whose messages are this executable's, and starts it.
// A failed start leaves the registration and is the result; the description is
// written in either case.
int ServiceInstall(const TServiceIdentity& Service);

// Deletes the registration and the event source; a running service is removed
// once it has stopped.
int ServiceUninstall(const std::string& Name);

// Asks the service manager to start the registered service.
int ServiceStart(const std::string& Name);

struct TServiceStopResult {
  enum TOutcome { Failed, StopRequested, Refused, NotRunning } Outcome = Failed;
  int Error = 0;       // with Failed
  uint32_t State = 0;  // with StopRequested: the state the stop request returned
};

// Sends the stop control when the service is running.
TServiceStopResult ServiceStop(const std::string& Name);

}  // namespace Platform

namespace Platform {

// The systemd unit that the Linux backend installs for the service.
std::string SystemdUnitText(const TServiceIdentity& Service);

}  // namespace Platform

// ---- running as the service -------------------------------------------------

namespace Platform {

using TServiceMain = void (*)();
// 1 stop, 4 interrogate, 5 shutdown, 15 pre-shutdown (the last two from Windows only).
using TServiceCtrlHandler = void (*)(uint32_t Control);

// True when the service manager started this process (on Linux: systemd's
// notify environment, NOTIFY_SOCKET and INVOCATION_ID).
bool StartedByServiceManager();

// Connects the process to the service manager as the service Name. Main runs on
// a thread of the manager's; the call returns once Main has returned and the
// service has stopped. False at once when the manager refuses the connection
// (the last error tells why). On Linux SIGTERM arrives as the stop control.
bool RunServiceDispatcher(const std::string& Name, TServiceMain Main);

// Registers the control handler (from inside Main); the handle for the reports.
uintptr_t RegisterServiceControlHandler(const std::string& Name, TServiceCtrlHandler Handler);

// Reports a state (1 stopped, 3 stop pending, 4 running) with the status record
// of a service in its own process that accepts stop, shutdown and pre-shutdown,
// wait hint 5000 ms. A non-zero ExitCode is the service's own: on Windows the
// record then carries ERROR_SERVICE_SPECIFIC_ERROR with ExitCode as the
// service-specific code. On Linux running is READY=1, stop pending STOPPING=1
// and stopped EXIT_STATUS=code on the notify socket. Failures are ignored.
void ReportServiceStatus(uintptr_t StatusHandle, uint32_t State, uint32_t ExitCode);

// What the service tells the system's event log (Windows; on Linux the journal
// through standard error). Not every log line: the start, the stop and failures.
enum class TServiceEvent { Started, Stopped, StartFailed, Exception };

// Reports Event under the event source Source, with Detail (the reason of a
// failure) as its text. Failures are ignored.
void ReportServiceEvent(const std::string& Source, TServiceEvent Event, const std::string& Detail) noexcept;

}  // namespace Platform
