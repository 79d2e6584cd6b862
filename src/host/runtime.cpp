// Running the bridge: in the console until Ctrl+C (or its kin), or as the
// service until the service manager stops it. Both end in MainProc.

#include "config/start_values.h"
#include "host/service.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/exception.h"
#include "platform/service.h"

namespace {
constexpr uint32_t StateStopped = 1;
constexpr uint32_t StateStopPending = 3;
constexpr uint32_t StateRunning = 4;
constexpr uint32_t LoopPeriodMs = 300;
}  // namespace

int TRTPService::RunAsApplication() {
  FAsService = false;
  Platform::WriteConsoleLine("");
  Platform::WriteConsoleLine("TAVEK Vantelo service v" + VersionText);
  Platform::WriteConsoleLine("");
  Platform::WriteConsoleLine("Running as application - OK");
  Platform::AddConsoleCtrlHandler(ConsoleCtrlHandler);
  MainProc();
  return FExitCode.load();
}

bool ConsoleCtrlHandler(uint32_t Event) noexcept {
  switch (Event) {
    case 0:  // Ctrl+C
    case 1:  // Ctrl+Break
    case 2:  // console closed
    case 5:  // user logoff
    case 6:  // system shutdown
      // The handler stays for the whole run: a second event (a service manager's
      // SIGTERM after Ctrl+C) would otherwise end the process before it has
      // stopped and written its stop lines. Once stopping, events are taken
      // quietly; without a controller there is nothing left to stop.
      if (!RTPService || RTPService->FStopSignalled.exchange(true)) return true;
      try {
        Platform::WriteConsoleLine("Have a STOP signal...");
      } catch (...) {
        WriteLog("Exception in console control handler: " + CurrentExceptionMessage());
      }
      RTPService->FStopRequested.store(true);
      return true;
    default:
      return false;
  }
}

void TRTPService::ServiceMain() noexcept {
  if (!RTPService) return;
  try {
    RTPService->FStatusHandle = Platform::RegisterServiceControlHandler(ServiceName, ServiceCtrlHandler);
    RTPService->MainProc();
  } catch (...) {
    // MainProc catches its own; this is what is left around it (the registration,
    // the final reports).
    WriteLog("Exception in main proceding: " + CurrentExceptionMessage());
    if (RTPService->FExitCode.load() == ExitSuccess) RTPService->FExitCode.store(ExitStoppedOnError);
    Platform::ReportServiceStatus(RTPService->FStatusHandle, StateStopped,
                                  static_cast<uint32_t>(RTPService->FExitCode.load()));
  }
}

void ServiceCtrlHandler(uint32_t Control) noexcept {
  try {
    switch (Control) {
      case 1:   // stop
      case 5:   // shutdown
      case 15:  // pre-shutdown: the system waits for the stop before it shuts down
        if (RTPService) {
          RTPService->ReportServiceStatus(StateStopPending, 0);
          RTPService->FStopRequested.store(true);
        }
        break;
      case 4:  // interrogate
        if (RTPService && !RTPService->FStopRequested.load())
          RTPService->ReportServiceStatus(StateRunning, 0);
        else if (RTPService)
          RTPService->ReportServiceStatus(StateStopPending, 0);
        break;
      default:
        break;
    }
  } catch (...) {
    WriteLog("Exception in service control handler: " + CurrentExceptionMessage());
    // A stop is still a stop, even when its report failed.
    if (RTPService && (Control == 1 || Control == 5 || Control == 15)) RTPService->FStopRequested.store(true);
  }
}

void TRTPService::ReportServiceStatus(uint32_t State, uint32_t ExitCode) {
  Platform::ReportServiceStatus(FStatusHandle, State, ExitCode);
}

void TRTPService::MainProc() {
  bool Started = false;
  try {
    if (DoLog) WriteLog("TAVEK Vantelo service starting...");
    if (!AcceptStartValues() || !StartRTPSession()) throw Exception("TAVEK Vantelo service failed to start");
    Started = true;
    if (DoLog) WriteLog("TAVEK Vantelo service started successfully");
    if (FAsService) {
      ReportServiceStatus(StateRunning, 0);
      Platform::ReportServiceEvent(ServiceName, Platform::TServiceEvent::Started, "");
    }
    while (!FStopRequested.load()) {
      Platform::SleepMs(LoopPeriodMs);
      CheckRTPSession();
    }
    if (DoLog) WriteLog("TAVEK Vantelo service stopping...");
    StopRTPSession();
    if (DoLog) WriteLog("TAVEK Vantelo service stopped successfully");
  } catch (...) {
    // Whatever was raised: a thread that cannot be created or memory that ran
    // out ends the service as our own failures do, never in the system's frames.
    const std::string Message = CurrentExceptionMessage();
    WriteLog("Exception in main proceding: " + Message);
    FExitCode.store(Started ? ExitStoppedOnError : ExitStartFailed);
    if (FAsService && Started) Platform::ReportServiceEvent(ServiceName, Platform::TServiceEvent::Exception, Message);
    if (FAsService && !Started)
      Platform::ReportServiceEvent(ServiceName, Platform::TServiceEvent::StartFailed,
                                   FStartFailure.empty() ? Message : FStartFailure);
  }
  // A session still running after an exception in the loop is stopped here,
  // before the final report, rather than left to the process's end.
  FreeRTPSession();
  if (FAsService) {
    if (Started) Platform::ReportServiceEvent(ServiceName, Platform::TServiceEvent::Stopped, "");
    ReportServiceStatus(StateStopped, static_cast<uint32_t>(FExitCode.load()));
  } else {
    Platform::WriteConsoleLine("TAVEK Vantelo service stopped as application successfully");
    Platform::DetachConsole();
  }
}
