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

void TRTPService::RunAsApplication() {
  FAsService = false;
  Platform::WriteConsoleLine("");
  Platform::WriteConsoleLine("TAVEK Vantelo service v" + VersionText);
  Platform::WriteConsoleLine("");
  Platform::WriteConsoleLine("Running as application - OK");
  Platform::AddConsoleCtrlHandler(ConsoleCtrlHandler);
  MainProc();
}

bool ConsoleCtrlHandler(uint32_t Event) {
  switch (Event) {
    case 0:  // Ctrl+C
    case 1:  // Ctrl+Break
    case 2:  // console closed
    case 5:  // user logoff
    case 6:  // system shutdown
      Platform::WriteConsoleLine("Have a STOP signal...");
      // Gone after the first stop: a second Ctrl+C ends the process at once.
      Platform::RemoveConsoleCtrlHandler();
      if (RTPService) RTPService->FStopRequested.store(true);
      return true;
    default:
      return false;
  }
}

void TRTPService::ServiceMain() {
  if (!RTPService) return;
  RTPService->FStatusHandle = Platform::RegisterServiceControlHandler(ServiceName, ServiceCtrlHandler);
  RTPService->MainProc();
}

void ServiceCtrlHandler(uint32_t Control) {
  switch (Control) {
    case 1:  // stop
    case 5:  // shutdown
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
}

void TRTPService::ReportServiceStatus(uint32_t State, uint32_t ExitCode) {
  Platform::ReportServiceStatus(FStatusHandle, State, ExitCode);
}

void TRTPService::MainProc() {
  try {
    if (DoLog) WriteLog("TAVEK Vantelo service starting...");
    if (!StartRTPSession()) throw Exception("TAVEK Vantelo service failed to start");
    if (DoLog) WriteLog("TAVEK Vantelo service started successfully");
    if (FAsService) ReportServiceStatus(StateRunning, 0);
    while (!FStopRequested.load()) {
      Platform::SleepMs(LoopPeriodMs);
      CheckRTPSession();
    }
    if (DoLog) WriteLog("TAVEK Vantelo service stopping...");
    StopRTPSession();
    if (DoLog) WriteLog("TAVEK Vantelo service stopped successfully");
  } catch (const Exception& E) {
    WriteLog("Exception in main proceding: " + E.Message());
  }
  // A session still running after an exception in the loop is stopped here,
  // before the final report, rather than left to the process's end.
  FreeRTPSession();
  if (FAsService) {
    ReportServiceStatus(StateStopped, 0);
  } else {
    Platform::WriteConsoleLine("TAVEK Vantelo service stopped as application successfully");
    Platform::DetachConsole();
  }
}
