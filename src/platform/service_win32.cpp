#include "platform/service.h"

#include <windows.h>

namespace Platform {

int ServiceQueryInstalled(const std::string& ServiceName) {
  SC_HANDLE Manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_QUERY_LOCK_STATUS);
  if (!Manager) return static_cast<int>(GetLastError());
  int Result = 0;
  SC_HANDLE Service = OpenServiceA(Manager, ServiceName.c_str(), SERVICE_QUERY_STATUS);
  if (Service)
    CloseServiceHandle(Service);
  else
    Result = static_cast<int>(GetLastError());
  CloseServiceHandle(Manager);
  return Result;
}

}  // namespace Platform
