#include "platform/service.h"

#include <windows.h>

#include "platform/sc_handle_win32.h"

namespace Platform {
namespace {

int Last() { return static_cast<int>(GetLastError()); }

// The service manager starts the image path as a command line: unquoted, a blank
// in it ("C:\Program Files\...") would first start "C:\Program.exe" if there were
// one. Quoted only when needed, so that a plain path stays as it is.
std::string ImagePath(const std::string& ExePath) {
  return ExePath.find(' ') == std::string::npos ? ExePath : "\"" + ExePath + "\"";
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
  return DeleteService(Service.Get()) ? 0 : Last();
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

void WINAPI ServiceMainTrampoline(DWORD, LPSTR*) {
  if (const TServiceMain Main = ServiceMainProc.load()) Main();
}

void WINAPI CtrlHandlerTrampoline(DWORD Control) {
  if (const TServiceCtrlHandler Handler = CtrlHandlerProc.load()) Handler(Control);
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
  return reinterpret_cast<uintptr_t>(::RegisterServiceCtrlHandlerA(Name.c_str(), CtrlHandlerTrampoline));
}

void ReportServiceStatus(uintptr_t StatusHandle, uint32_t State, uint32_t ExitCode) {
  SERVICE_STATUS Status{};
  Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  Status.dwCurrentState = State;
  Status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  Status.dwWin32ExitCode = ExitCode;
  Status.dwServiceSpecificExitCode = 0;
  Status.dwCheckPoint = 0;
  Status.dwWaitHint = 5000;
  SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(StatusHandle), &Status);
}

}  // namespace Platform
