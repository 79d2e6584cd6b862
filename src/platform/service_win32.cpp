#include "platform/service.h"

#include <windows.h>

#include "platform/sc_handle_win32.h"
#include "service_events.h"  // generated from service_events.mc

namespace Platform {
namespace {

int Last() { return static_cast<int>(GetLastError()); }

// The service manager starts the image path as a command line: unquoted, a blank
// in it ("C:\Program Files\...") would first start "C:\Program.exe" if there were
// one. Quoted only when needed, so that a plain path stays as it is.
std::string ImagePath(const std::string& ExePath) {
  return ExePath.find(' ') == std::string::npos ? ExePath : "\"" + ExePath + "\"";
}

const char* const EventSourceRoot = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The event source: the Application log finds the texts of the service's events
// in the message table of its executable.
void AddEventSource(const TServiceIdentity& Service) {
  const std::string Key = EventSourceRoot + Service.Name;
  HKEY H = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, Key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &H, nullptr) !=
      ERROR_SUCCESS)
    return;
  RegSetValueExA(H, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(Service.ExePath.c_str()),
                 static_cast<DWORD>(Service.ExePath.size() + 1));
  const DWORD Types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  RegSetValueExA(H, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&Types), sizeof(Types));
  RegCloseKey(H);
}

void DeleteEventSource(const std::string& Name) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, (EventSourceRoot + Name).c_str());
}

// What the service manager does when the service fails (a crash, or a stop with
// a non-zero exit code): restart after a minute, once more, then nothing; the
// failure count starts again after a day without failure.
void SetRecoveryActions(SC_HANDLE Service) {
  SC_ACTION Actions[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA Failure{};
  Failure.dwResetPeriod = 24 * 60 * 60;
  Failure.cActions = 3;
  Failure.lpsaActions = Actions;
  ChangeServiceConfig2A(Service, SERVICE_CONFIG_FAILURE_ACTIONS, &Failure);
  SERVICE_FAILURE_ACTIONS_FLAG OnStop{TRUE};
  ChangeServiceConfig2A(Service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &OnStop);
}

void WriteDescription(const TServiceIdentity& Service) {
  const std::string Key = "SYSTEM\\CurrentControlSet\\Services\\" + Service.Name;
  HKEY H = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key.c_str(), 0, KEY_WRITE, &H) != ERROR_SUCCESS) return;
  RegSetValueExA(H, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(Service.Description.c_str()),
                 static_cast<DWORD>(Service.Description.size() + 1));
  RegCloseKey(H);
}
}  // namespace

int ServiceQueryInstalled(const std::string& Name) {
  TScHandle Manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_QUERY_LOCK_STATUS));
  if (!Manager) return Last();
  TScHandle Service(OpenServiceA(Manager.Get(), Name.c_str(), SERVICE_QUERY_STATUS));
  return Service ? 0 : Last();
}

int ServiceInstall(const TServiceIdentity& Service) {
  int Result = 0;
  {
    TScHandle Manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!Manager) return Last();
    TScHandle Created(CreateServiceA(Manager.Get(), Service.Name.c_str(), Service.DisplayName.c_str(),
                                     SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, ImagePath(Service.ExePath).c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
    if (!Created) return Last();
    SetRecoveryActions(Created.Get());
    AddEventSource(Service);
    if (!StartServiceA(Created.Get(), 0, nullptr)) Result = Last();
  }
  WriteDescription(Service);
  return Result;
}

int ServiceUninstall(const std::string& Name) {
  TScHandle Manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!Manager) return Last();
  TScHandle Service(OpenServiceA(Manager.Get(), Name.c_str(), SERVICE_ALL_ACCESS));
  if (!Service) return Last();
  if (!DeleteService(Service.Get())) return Last();
  DeleteEventSource(Name);
  return 0;
}

int ServiceStart(const std::string& Name) {
  TScHandle Manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!Manager) return Last();
  TScHandle Service(OpenServiceA(Manager.Get(), Name.c_str(), SERVICE_ALL_ACCESS));
  if (!Service) return Last();
  return StartServiceA(Service.Get(), 0, nullptr) ? 0 : Last();
}

TServiceStopResult ServiceStop(const std::string& Name) {
  TServiceStopResult R;
  TScHandle Manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!Manager) {
    R.Error = Last();
    return R;
  }
  TScHandle Service(OpenServiceA(Manager.Get(), Name.c_str(), SERVICE_ALL_ACCESS));
  if (!Service) {
    R.Error = Last();
    return R;
  }
  SERVICE_STATUS Status{};
  if (!QueryServiceStatus(Service.Get(), &Status)) {
    R.Error = Last();
    return R;
  }
  if (Status.dwCurrentState != SERVICE_RUNNING) {
    R.Outcome = TServiceStopResult::NotRunning;
    return R;
  }
  if (ControlService(Service.Get(), SERVICE_CONTROL_STOP, &Status)) {
    R.Outcome = TServiceStopResult::StopRequested;
    R.State = Status.dwCurrentState;
  } else {
    R.Outcome = TServiceStopResult::Refused;
  }
  return R;
}

}  // namespace Platform

// ---- running as the service -------------------------------------------------

#include <atomic>

namespace Platform {
namespace {
std::atomic<TServiceMain> ServiceMainProc{nullptr};
std::atomic<TServiceCtrlHandler> CtrlHandlerProc{nullptr};

// Called by advapi32: nothing may unwind into its frames. The program's own
// handlers report their failures; anything left is dropped here.
void WINAPI ServiceMainTrampoline(DWORD, LPSTR*) noexcept {
  try {
    if (const TServiceMain Main = ServiceMainProc.load()) Main();
  } catch (...) {
  }
}

// The extended form: only it is sent the pre-shutdown control. Every control
// is answered as handled, as the plain form's were.
DWORD WINAPI CtrlHandlerTrampoline(DWORD Control, DWORD, LPVOID, LPVOID) noexcept {
  try {
    if (const TServiceCtrlHandler Handler = CtrlHandlerProc.load()) Handler(Control);
  } catch (...) {
  }
  return NO_ERROR;
}
}  // namespace

bool StartedByServiceManager() { return GetStdHandle(STD_OUTPUT_HANDLE) == nullptr; }

bool RunServiceDispatcher(const std::string& Name, TServiceMain Main) {
  ServiceMainProc.store(Main);
  std::string ServiceName = Name;
  SERVICE_TABLE_ENTRYA Table[] = {{ServiceName.data(), ServiceMainTrampoline}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(Table) != FALSE;
}

uintptr_t RegisterServiceControlHandler(const std::string& Name, TServiceCtrlHandler Handler) {
  CtrlHandlerProc.store(Handler);
  return reinterpret_cast<uintptr_t>(::RegisterServiceCtrlHandlerExA(Name.c_str(), CtrlHandlerTrampoline, nullptr));
}

void ReportServiceStatus(uintptr_t StatusHandle, uint32_t State, uint32_t ExitCode) {
  SERVICE_STATUS Status{};
  Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  Status.dwCurrentState = State;
  // Shutdown and pre-shutdown as well: without them the system ends the process
  // at shutdown without a stop. Pre-shutdown (there since Vista; the program
  // needs Windows 7) comes first, and the system waits for the stop.
  Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
  Status.dwWin32ExitCode = ExitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  Status.dwServiceSpecificExitCode = ExitCode;
  Status.dwCheckPoint = 0;
  Status.dwWaitHint = 5000;
  SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(StatusHandle), &Status);
}

void ReportServiceEvent(const std::string& Source, TServiceEvent Event, const std::string& Detail) noexcept {
  DWORD Id = MSG_SERVICE_STARTED;
  WORD Type = EVENTLOG_INFORMATION_TYPE;
  switch (Event) {
    case TServiceEvent::Started: break;
    case TServiceEvent::Stopped: Id = MSG_SERVICE_STOPPED; break;
    case TServiceEvent::StartFailed: Id = MSG_SERVICE_START_FAILED; Type = EVENTLOG_ERROR_TYPE; break;
    case TServiceEvent::Exception: Id = MSG_SERVICE_EXCEPTION; Type = EVENTLOG_ERROR_TYPE; break;
  }
  const HANDLE Log = RegisterEventSourceA(nullptr, Source.c_str());
  if (!Log) return;
  const char* Strings[] = {Detail.c_str()};
  ReportEventA(Log, Type, 0, Id, nullptr, 1, 0, Strings, nullptr);
  DeregisterEventSource(Log);
}

}  // namespace Platform
