#include "host/service_admin.h"

#include "host/service.h"
#include "platform/exception.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sysmsg.h"
#include "platform/text.h"

Platform::TServiceIdentity ServiceIdentity() {
  return {ServiceName, ServiceDisplayName, "TAVEK Vantelo service.", Platform::ExePath()};
}

int CheckInstalled() { return Platform::ServiceQueryInstalled(ServiceName); }

int SetupService(bool Install) {
  return Install ? Platform::ServiceInstall(ServiceIdentity()) : Platform::ServiceUninstall(ServiceName);
}

bool StartInstalledService(const TConsoleWriter& WriteConsoleLine) {
  const int Result = Platform::ServiceStart(ServiceName);
  if (Result == 0)
    WriteConsoleLine("Run as service - OK");
  else
    WriteConsoleLine("Run as service - FAIL \"" + Platform::SystemMessage(Result) + "\"");
  return Result == 0;
}

bool StopInstalledService(const TConsoleWriter& WriteConsoleLine) {
  const Platform::TServiceStopResult R = Platform::ServiceStop(ServiceName);
  switch (R.Outcome) {
    case Platform::TServiceStopResult::Failed:
      WriteConsoleLine("Stop service - FAIL \"" + Platform::SystemMessage(R.Error) + "\"");
      break;
    case Platform::TServiceStopResult::StopRequested:
      WriteConsoleLine(Format("Stop service - OK [Status=0x%x]", static_cast<unsigned>(R.State)));
      break;
    case Platform::TServiceStopResult::Refused:
      WriteConsoleLine("Stop service - FAIL \"Service is not running\"");
      break;
    case Platform::TServiceStopResult::NotRunning:
      WriteConsoleLine("Stop service - FAIL \"Service already stopped\"");
      break;
  }
  return R.Outcome == Platform::TServiceStopResult::StopRequested;
}

bool SavePreinstalledServices(const std::string& Argument, const std::string& Dir,
                              const TConsoleWriter& WriteConsoleLine) {
  if (Argument.find("-L") == std::string::npos) return true;
  // "-L", one opening character, the list, one closing character, wherever
  // "-L" stood.
  if (Argument.size() < 5) return true;
  const std::string List = Argument.substr(3, Argument.size() - 4);
  if (List.empty()) return true;
  // Service names may hold blanks ("Windows Update"): only commas separate.
  const std::vector<std::string> Items = Platform::SplitDelimitedText(List, ',', /*BlanksSeparate=*/false);
  std::string Content;
  for (const std::string& Item : Items) {
    WriteConsoleLine("Added preinstall administrative service from \"" + Item + "\"");
    Content += Item + "\r\n";
  }
  const std::string Path = Dir + "PreinstalledServices.lst";
  if (Platform::WriteWholeFile(Path, Content)) return true;
  const int Error = Platform::LastError();
  WriteConsoleLine("Error writing \"" + Path + "\" - " + Platform::SystemMessage(Error));
  return false;
}
