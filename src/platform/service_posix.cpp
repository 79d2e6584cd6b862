// The service manager of this system is systemd, driven through systemctl and a
// unit file in the folder for administrator-installed units. Where systemd is
// not running nothing is changed and the operations say so.
//
// For tests the places can be moved: BRENVIC_SYSTEMCTL (the systemctl program),
// BRENVIC_SYSTEMD_UNIT_DIR (default /etc/systemd/system) and
// BRENVIC_SYSTEMD_RUN_DIR (default /run/systemd/system, present while systemd runs).
//
// The Debian package ships its own unit in BRENVIC_SYSTEMD_VENDOR_UNIT_DIR
// (default /lib/systemd/system): the service is then installed, and the program
// neither writes a second unit that would hide it nor deletes the package's one.

#include "platform/service.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/files.h"
#include "platform/sysmsg.h"

extern char** environ;

namespace Platform {
namespace {
std::string Setting(const char* Name, const char* Default) {
  const char* V = std::getenv(Name);
  return V && *V ? V : Default;
}

std::string UnitName(const std::string& Name) { return Name + ".service"; }
std::string UnitPath(const std::string& Name) {
  return Setting("BRENVIC_SYSTEMD_UNIT_DIR", "/etc/systemd/system") + "/" + UnitName(Name);
}

std::string VendorUnitPath(const std::string& Name) {
  return Setting("BRENVIC_SYSTEMD_VENDOR_UNIT_DIR", "/lib/systemd/system") + "/" + UnitName(Name);
}

bool SystemdRunning() {
  struct stat St {};
  return stat(Setting("BRENVIC_SYSTEMD_RUN_DIR", "/run/systemd/system").c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

// Runs systemctl with these arguments; its exit code, or -1 when it could not run.
int Systemctl(const std::vector<std::string>& Args) {
  const std::string Program = Setting("BRENVIC_SYSTEMCTL", "systemctl");
  std::vector<std::string> All{Program};
  All.insert(All.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (std::string& A : All) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  pid_t Pid = 0;
  if (posix_spawnp(&Pid, Program.c_str(), nullptr, nullptr, Argv.data(), environ) != 0) return -1;
  int Status = 0;
  while (waitpid(Pid, &Status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

bool IsActive(const std::string& Name) { return Systemctl({"is-active", "--quiet", UnitName(Name)}) == 0; }

}  // namespace

int ServiceQueryInstalled(const std::string& Name) {
  if (!SystemdRunning()) return ServiceErrorNoManager;
  return FileExists(UnitPath(Name)) || FileExists(VendorUnitPath(Name)) ? 0 : ServiceErrorDoesNotExist;
}

int ServiceInstall(const TServiceIdentity& Service) {
  if (!SystemdRunning()) return ServiceErrorNoManager;
  const std::string Path = UnitPath(Service.Name);
  if (!WriteWholeFile(Path, SystemdUnitText(Service))) return errno ? errno : EIO;
  if (Systemctl({"daemon-reload"}) != 0 || Systemctl({"enable", UnitName(Service.Name)}) != 0) {
    // Not registered after all: leave nothing behind.
    unlink(Path.c_str());
    Systemctl({"daemon-reload"});
    return ServiceErrorRequestFailed;
  }
  return Systemctl({"start", "--no-block", UnitName(Service.Name)}) == 0 ? 0 : ServiceErrorRequestFailed;
}

int ServiceUninstall(const std::string& Name) {
  if (!SystemdRunning()) return ServiceErrorNoManager;
  const std::string Path = UnitPath(Name);
  if (!FileExists(Path)) return FileExists(VendorUnitPath(Name)) ? ServiceErrorOwnedByPackage : ServiceErrorDoesNotExist;
  Systemctl({"disable", UnitName(Name)});
  if (unlink(Path.c_str()) != 0) return errno;
  // A running service keeps running until it is stopped, as on Windows.
  Systemctl({"daemon-reload"});
  return 0;
}

int ServiceStart(const std::string& Name) {
  if (const int Installed = ServiceQueryInstalled(Name)) return Installed;
  if (IsActive(Name)) return ServiceErrorAlreadyRunning;
  return Systemctl({"start", "--no-block", UnitName(Name)}) == 0 ? 0 : ServiceErrorRequestFailed;
}

TServiceStopResult ServiceStop(const std::string& Name) {
  TServiceStopResult R;
  if (const int Installed = ServiceQueryInstalled(Name)) {
    R.Error = Installed;
    return R;
  }
  if (!IsActive(Name)) {
    R.Outcome = TServiceStopResult::NotRunning;
    return R;
  }
  if (Systemctl({"stop", "--no-block", UnitName(Name)}) == 0) {
    R.Outcome = TServiceStopResult::StopRequested;
    R.State = 3;  // stop pending: the request is queued, the service not yet down
  } else {
    R.Outcome = TServiceStopResult::Refused;
  }
  return R;
}

}  // namespace Platform
