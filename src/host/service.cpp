#include "host/service.h"

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
// The system's actions. Those that later work brings are announced on the
// console until then.
class TSystemActions final : public TServiceActions {
public:
  explicit TSystemActions(TRTPService& Owner) : FOwner(Owner) {}

  int CheckInstalled() override { return Platform::ServiceQueryInstalled(ServiceName); }
  int SetupService(bool Install) override {
    NotYet(Install ? "Installing the service" : "Uninstalling the service");
    return 0;
  }
  void SavePreinstalledServices(const std::string& Argument) override {
    if (Argument.find("-L") != std::string::npos) NotYet("The list of pre-installed services");
  }
  void StartInstalledService() override { NotYet("Starting the installed service"); }
  void StopInstalledService() override { NotYet("Stopping the service"); }
  void RunAsApplication() override { FOwner.RunAsApplication(); }
  bool RunServiceDispatcher() override {
    NotYet("Running as a service");
    return true;
  }
  bool HasStdOutput() override { return Platform::HasStdOutput(); }
  int LastError() override { return Platform::LastError(); }
  std::string SystemMessage(int Code) override { return Platform::SystemMessage(Code); }
  void WriteConsoleLine(const std::string& Text) override { Platform::WriteConsoleLine(Text); }

private:
  void NotYet(const std::string& What) { WriteConsoleLine(What + " is not available yet."); }
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

void TRTPService::RunAsApplication() {
  FAsService = false;
  Platform::WriteConsoleLine("Running the bridge as application is not available yet.");
}

int BrenvicMain(int Argc, char** Argv) {
  OpenLog();
  LoadStartValues();
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
