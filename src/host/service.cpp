#include "host/service.h"

#include "host/bridge_metrics.h"
#include "host/service_admin.h"

#include "access/access_policy.h"
#include "audio/virtual_devices.h"
#include "config/access_values.h"
#include "config/start_values.h"
#include "log/log.h"
#include "log/log_retention.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/service.h"
#include "platform/sysmsg.h"

const std::string VersionText = Platform::ReadVersionText();
const char* const ServiceName = "Vantelo";
const char* const ServiceDisplayName = "TAVEK Vantelo service";

TRTPService* RTPService = nullptr;

std::string ProgramNameForUsage() { return Platform::StripExtension(Platform::ExeFileName()); }

namespace {
// The system's actions.
class TSystemActions final : public TServiceActions {
public:
  explicit TSystemActions(TRTPService& Owner) : FOwner(Owner) {}

  int CheckInstalled() override { return ::CheckInstalled(); }
  int SetupService(bool Install) override { return ::SetupService(Install); }
  bool SavePreinstalledServices(const std::string& Argument) override {
    return ::SavePreinstalledServices(Argument, Platform::ExeDir(), Console());
  }
  bool StartInstalledService() override { return ::StartInstalledService(Console()); }
  bool StopInstalledService() override { return ::StopInstalledService(Console()); }
  int RunAsApplication() override { return FOwner.RunAsApplication(); }
  std::optional<int> RunServiceDispatcher() override {
    if (!Platform::RunServiceDispatcher(ServiceName, &TRTPService::ServiceMain)) return std::nullopt;
    return FOwner.FExitCode.load();
  }
  bool HasStdOutput() override { return Platform::HasStdOutput(); }
  int LastError() override { return Platform::LastError(); }
  std::string SystemMessage(int Code) override { return Platform::SystemMessage(Code); }
  void WriteConsoleLine(const std::string& Text) override { Platform::WriteConsoleLine(Text); }

private:
  static TConsoleWriter Console() { return [](const std::string& Text) { Platform::WriteConsoleLine(Text); }; }
  TRTPService& FOwner;
};
}  // namespace

TRTPService::TRTPService() { RTPService = this; }

TRTPService::~TRTPService() { RTPService = nullptr; }

int TRTPService::ProcessCommandLine(int Argc, char** Argv) {
  int Code;
  {
    TSystemActions Actions(*this);
    Code = DispatchCommandLine(Platform::CommandLineArgs(Argc, Argv), Actions);
  }
  delete this;
  return Code;
}

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& E) {  // Exception included: what() is its message
    return E.what();
  } catch (...) {
    return "Unknown exception";
  }
}


int BrenvicMain(int Argc, char** Argv) {
  OpenLog();
  LoadStartValues();
  SetLogKeepDays(StartValues.LogKeepDays);
  LoadVirtualDevices(ConfigFileName);
  // Also when nothing is logged today: the old days go all the same.
  const Platform::TLocalTime Now = Platform::LocalNow();
  RemoveOldDayFolders(Platform::ExeDir() + "Logs", DaysFromCivil(Now.Year, Now.Month, Now.Day), StartValues.LogKeepDays);
  LoadAccessValues(ConfigFileName);
  InstallAccessPolicy(MakeAccessPolicy(AccessValues));
  if (DoLog) {
    const std::string Stars(67, '*');
    WriteLog("");
    WriteLog(Stars);
    WriteLog("TAVEK Vantelo service v" + VersionText);
    WriteLog("Using config file: " + ConfigFileName);
    WriteLog(Stars);
  }
  TRTPService* Service = new TRTPService();
  const int Code = Service->ProcessCommandLine(Argc, Argv);  // frees the controller
  CloseLog();
  return Code;
}
