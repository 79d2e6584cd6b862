#include "host/service.h"

#include "host/bridge_metrics.h"
#include "host/service_admin.h"

#include "access/access_policy.h"
#include "audio/virtual_devices.h"
#include "config/access_values.h"
#include "config/start_values.h"
#include "log/log.h"
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
  void StartInstalledService() override { ::StartInstalledService(Console()); }
  void StopInstalledService() override { ::StopInstalledService(Console()); }
  void RunAsApplication() override { FOwner.RunAsApplication(); }
  bool RunServiceDispatcher() override {
    return Platform::RunServiceDispatcher(ServiceName, &TRTPService::ServiceMain);
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

void TRTPService::ProcessCommandLine(int Argc, char** Argv) {
  {
    TSystemActions Actions(*this);
    DispatchCommandLine(Platform::CommandLineArgs(Argc, Argv), Actions);
  }
  delete this;
}


int BrenvicMain(int Argc, char** Argv) {
  OpenLog();
  LoadStartValues();
  LoadVirtualDevices(ConfigFileName);
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
  Service->ProcessCommandLine(Argc, Argv);  // frees the controller
  CloseLog();
  return 0;
}
