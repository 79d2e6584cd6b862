// The service commands where the service manager is systemd, against a stand-in
// systemctl that records its calls, and without systemd at all.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include "host/service_admin.h"
#include "platform/sysmsg.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::TTempDir;

class Systemd : public ::testing::Test {
protected:
  void SetUp() override {
    std::filesystem::create_directory(Dir.Path() / "units");
    std::filesystem::create_directory(Dir.Path() / "run");
    std::filesystem::create_directory(Dir.Path() / "vendor");
    const auto Script = Dir.Path() / "systemctl";
    TestSupport::WriteFile(Script,
                           "#!/bin/sh\n"
                           "echo \"$*\" >> \"$FAKE_SYSTEMCTL_LOG\"\n"
                           "if [ \"$1\" = is-active ]; then exit \"${FAKE_ACTIVE:-3}\"; fi\n"
                           "if [ \"$1\" = \"$FAKE_FAIL\" ]; then exit 1; fi\n"
                           "exit 0\n");
    chmod(Script.c_str(), 0755);
    setenv("BRENVIC_SYSTEMCTL", Script.c_str(), 1);
    setenv("BRENVIC_SYSTEMD_UNIT_DIR", (Dir.Path() / "units").c_str(), 1);
    setenv("BRENVIC_SYSTEMD_RUN_DIR", (Dir.Path() / "run").c_str(), 1);
    setenv("BRENVIC_SYSTEMD_VENDOR_UNIT_DIR", (Dir.Path() / "vendor").c_str(), 1);
    setenv("FAKE_SYSTEMCTL_LOG", (Dir.Path() / "calls").c_str(), 1);
    unsetenv("FAKE_ACTIVE");
    unsetenv("FAKE_FAIL");
  }
  void TearDown() override {
    for (const char* V : {"BRENVIC_SYSTEMCTL", "BRENVIC_SYSTEMD_UNIT_DIR", "BRENVIC_SYSTEMD_RUN_DIR",
                          "BRENVIC_SYSTEMD_VENDOR_UNIT_DIR",
                          "FAKE_SYSTEMCTL_LOG", "FAKE_ACTIVE", "FAKE_FAIL"})
      unsetenv(V);
  }
  std::vector<std::string> Calls() {
    std::vector<std::string> Lines;
    std::string Text = ReadFile(Dir.Path() / "calls");
    size_t Pos = 0, End;
    while ((End = Text.find('\n', Pos)) != std::string::npos) {
      Lines.push_back(Text.substr(Pos, End - Pos));
      Pos = End + 1;
    }
    std::filesystem::remove(Dir.Path() / "calls");
    return Lines;
  }
  std::vector<std::string> Run(void (*Op)(const TConsoleWriter&)) {
    std::vector<std::string> Lines;
    Op([&](const std::string& L) { Lines.push_back(L); });
    return Lines;
  }
  std::filesystem::path Unit() const { return Dir.Path() / "units" / "Vantelo.service"; }

  TTempDir Dir;
};

using Lines = std::vector<std::string>;

TEST_F(Systemd, InstallWritesEnablesAndStartsTheUnit) {
  EXPECT_EQ(CheckInstalled(), Platform::ServiceErrorDoesNotExist);
  ASSERT_EQ(SetupService(true), 0);
  EXPECT_EQ(Calls(), (Lines{"daemon-reload", "enable Vantelo.service", "start --no-block Vantelo.service"}));
  EXPECT_EQ(ReadFile(Unit()), Platform::SystemdUnitText(ServiceIdentity()));
  EXPECT_EQ(CheckInstalled(), 0);

  ASSERT_EQ(SetupService(false), 0);
  EXPECT_EQ(Calls(), (Lines{"disable Vantelo.service", "daemon-reload"}));
  EXPECT_FALSE(std::filesystem::exists(Unit()));
  EXPECT_EQ(SetupService(false), Platform::ServiceErrorDoesNotExist);
}

TEST_F(Systemd, TheUnitFile) {
  const std::string Text = Platform::SystemdUnitText({"Vantelo", "TAVEK Vantelo service", "TAVEK Vantelo service.",
                                                      "/opt/brenvic dir/Brenvic"});
  EXPECT_NE(Text.find("\nDescription=TAVEK Vantelo service.\n"), std::string::npos);
  EXPECT_NE(Text.find("\nType=notify\n"), std::string::npos);
  EXPECT_NE(Text.find("\nExecStart=\"/opt/brenvic dir/Brenvic\"\n"), std::string::npos) << "no arguments";
  EXPECT_NE(Text.find("\nRestart=on-failure\n"), std::string::npos);
  EXPECT_NE(Text.find("\nWantedBy=multi-user.target\n"), std::string::npos);
}

// The Debian package ships the unit for its program in /usr/lib/brenvic: the
// same text the program writes for itself.
TEST_F(Systemd, ThePackagedUnitIsTheOneTheProgramWrites) {
  EXPECT_EQ(ReadFile(std::filesystem::path(BRENVIC_SOURCE_DIR) / "packaging/debian/Vantelo.service"),
            Platform::SystemdUnitText({"Vantelo", "TAVEK Vantelo service", "TAVEK Vantelo service.",
                                       "/usr/lib/brenvic/Brenvic"}));
}

TEST_F(Systemd, APackagedUnitIsInstalledAndControlledButLeftToThePackage) {
  const auto Packaged = Dir.Path() / "vendor" / "Vantelo.service";
  TestSupport::WriteFile(Packaged, "packaged");
  EXPECT_EQ(CheckInstalled(), 0) << "install then says it is already installed";
  EXPECT_EQ(SetupService(false), Platform::ServiceErrorOwnedByPackage);
  EXPECT_EQ(ReadFile(Packaged), "packaged");
  EXPECT_FALSE(std::filesystem::exists(Dir.Path() / "calls")) << "not disabled behind the package's back";

  setenv("FAKE_ACTIVE", "0", 1);
  EXPECT_EQ(Run(StopInstalledService), Lines{"Stop service - OK [Status=0x3]"});
  setenv("FAKE_ACTIVE", "3", 1);
  EXPECT_EQ(Run(StartInstalledService), Lines{"Run as service - OK"});
  EXPECT_EQ(Calls(), (Lines{"is-active --quiet Vantelo.service", "stop --no-block Vantelo.service",
                            "is-active --quiet Vantelo.service", "start --no-block Vantelo.service"}));
}

TEST_F(Systemd, AFailedRegistrationLeavesNothingBehind) {
  setenv("FAKE_FAIL", "enable", 1);
  EXPECT_EQ(SetupService(true), Platform::ServiceErrorRequestFailed);
  EXPECT_FALSE(std::filesystem::exists(Unit()));
  EXPECT_EQ(Calls(), (Lines{"daemon-reload", "enable Vantelo.service", "daemon-reload"}));
}

TEST_F(Systemd, RunAndKill) {
  EXPECT_EQ(Run(StopInstalledService),
            Lines{"Stop service - FAIL \"The specified service does not exist as an installed service\""});
  ASSERT_EQ(SetupService(true), 0);
  Calls();

  setenv("FAKE_ACTIVE", "0", 1);
  EXPECT_EQ(Run(StartInstalledService), Lines{"Run as service - FAIL \"An instance of the service is already running\""});
  EXPECT_EQ(Run(StopInstalledService), Lines{"Stop service - OK [Status=0x3]"});
  EXPECT_EQ(Calls(), (Lines{"is-active --quiet Vantelo.service", "is-active --quiet Vantelo.service",
                            "stop --no-block Vantelo.service"}));

  setenv("FAKE_ACTIVE", "3", 1);
  EXPECT_EQ(Run(StopInstalledService), Lines{"Stop service - FAIL \"Service already stopped\""});
  EXPECT_EQ(Run(StartInstalledService), Lines{"Run as service - OK"});

  setenv("FAKE_ACTIVE", "0", 1);
  setenv("FAKE_FAIL", "stop", 1);
  EXPECT_EQ(Run(StopInstalledService), Lines{"Stop service - FAIL \"Service is not running\""});
}

TEST_F(Systemd, WithoutSystemdNothingChanges) {
  std::filesystem::remove(Dir.Path() / "run");
  EXPECT_EQ(CheckInstalled(), Platform::ServiceErrorNoManager);
  EXPECT_EQ(SetupService(true), Platform::ServiceErrorNoManager);
  EXPECT_EQ(SetupService(false), Platform::ServiceErrorNoManager);
  const std::string Text = "\"The service manager (systemd) is not running\"";
  EXPECT_EQ(Run(StartInstalledService), Lines{"Run as service - FAIL " + Text});
  EXPECT_EQ(Run(StopInstalledService), Lines{"Stop service - FAIL " + Text});
  EXPECT_FALSE(std::filesystem::exists(Unit()));
  EXPECT_FALSE(std::filesystem::exists(Dir.Path() / "calls")) << "systemctl is never asked";
}

}  // namespace
