#pragma once
// The service controller: decides from the command line and the service's
// registration what the process does, and runs it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TRtpSession;
class TBridgeMetrics;

// The executable's file version ("a.b.c.d"), empty without a version resource.
extern const std::string VersionText;

// The service's fixed identities.
extern const char* const ServiceName;         // "Vantelo"
extern const char* const ServiceDisplayName;  // "TAVEK Vantelo service"

// The process's exit codes. A service that stops because of a failure reports
// the same number as its service-specific exit code.
enum TExitCode : int {
  ExitSuccess = 0,
  ExitCommandFailed = 1,   // an administrative command failed or was refused
  ExitUsage = 2,           // no command understood: the usage text was shown
  ExitStartFailed = 3,     // the bridge could not start
  ExitStoppedOnError = 4,  // the bridge stopped because of an exception in its loop
};

// What the dispatcher chooses between. The system's implementation administers
// the service and runs the bridge; tests record the choice instead.
class TServiceActions {
public:
  virtual ~TServiceActions() = default;
  virtual int CheckInstalled() = 0;
  virtual int SetupService(bool Install) = 0;
  // False when the list was asked for but could not be saved: the command stops.
  virtual bool SavePreinstalledServices(const std::string& Argument) = 0;
  // True when the service manager accepted the request.
  virtual bool StartInstalledService() = 0;
  virtual bool StopInstalledService() = 0;
  // The bridge's exit code once it has stopped.
  virtual int RunAsApplication() = 0;
  // Connects to the service control dispatcher; returns the service's exit code
  // when it has stopped, or nothing at once when the connection is refused (last
  // error set).
  virtual std::optional<int> RunServiceDispatcher() = 0;
  virtual bool HasStdOutput() = 0;
  virtual int LastError() = 0;
  virtual std::string SystemMessage(int Code) = 0;
  virtual void WriteConsoleLine(const std::string& Text) = 0;
};

// The dispatcher's rule tables over the arguments after the program name; the
// process's exit code.
int DispatchCommandLine(const std::vector<std::string>& Args, TServiceActions& Actions);

// The usage text, line by line.
std::vector<std::string> UsageLines(const std::string& ProgramName);

class TRTPService {
public:
  TRTPService();
  ~TRTPService();
  TRTPService(const TRTPService&) = delete;
  TRTPService& operator=(const TRTPService&) = delete;

  // Runs the dispatcher on the process's command line, then frees the controller
  // itself: the caller must not touch the object afterwards. The exit code.
  int ProcessCommandLine(int Argc, char** Argv);

  // Runs the bridge in the console until a console control event stops it; its
  // exit code.
  int RunAsApplication();
  // The service's main function, on the thread the service manager provides.
  static void ServiceMain() noexcept;
  // Sends the status record with this state through FStatusHandle.
  void ReportServiceStatus(uint32_t State, uint32_t ExitCode);
  // Runs the session until a stop is requested; reports to the service manager
  // when running as the service. Leaves the outcome in FExitCode.
  void MainProc();

  // Logs what the settings mean for the start, whatever DoLog says; false when
  // one cannot work and the start is refused (before anything is created).
  bool AcceptStartValues();
  // The session operations of the main procedure.
  bool StartRTPSession();
  bool CreateRTPSession();
  void StopRTPSession();
  void FreeRTPSession();
  void CheckRTPSession();
  // The monitoring endpoint ([Metrics] Listen): started with the first session
  // start, fed with the session's state after each start and check.
  void StartMetrics();
  void PublishMetrics();

  TRtpSession* FRtpSession = nullptr;       // host thread only (owned)
  std::unique_ptr<TBridgeMetrics> FMetrics;  // host thread only; its server reads published copies
  uintptr_t FStatusHandle = 0;              // set once by ServiceMain, before MainProc
  bool FAsService = true;                   // host thread only
  std::atomic<bool> FStopRequested{false};  // set by the control handlers, read by MainProc
  std::atomic<bool> FStopSignalled{false};  // the console handler has taken its first stop event
  std::atomic<int> FExitCode{ExitSuccess};  // set by MainProc, read once the service has stopped
  std::string FStartFailure;                // host thread only: why the session did not start
};

// The message of the exception being handled (inside a catch block): ours and
// the standard library's carry one; anything else is named as unknown.
std::string CurrentExceptionMessage();

// The control handlers the system calls without context; they reach the
// controller through RTPService.
// They let no exception out: one is logged and the handler's work done as far
// as it goes.
bool ConsoleCtrlHandler(uint32_t Event) noexcept;
void ServiceCtrlHandler(uint32_t Control) noexcept;

// The one controller; set by its constructor, cleared by its destructor.
extern TRTPService* RTPService;

// The process's entry point work; returns the exit code.
int BrenvicMain(int Argc, char** Argv);
