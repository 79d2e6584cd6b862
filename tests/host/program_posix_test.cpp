// The real executable in a folder of its own: what it prints, the configuration
// file it writes on its first start and the banner it logs.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "platform/paths.h"
#include "platform/resources.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::SplitCrLf;
using TestSupport::TTempDir;

struct TRun {
  std::string Output;
  int ExitCode = -1;
};

class Program : public ::testing::Test {
protected:
  void SetUp() override {
    std::filesystem::copy_file(Platform::ExeDir() + "Brenvic", Dir.Path() / "Brenvic");
  }
  TRun Run(const std::string& Args, const std::string& Name = "Brenvic") {
    TRun R;
    const std::string Cmd = "'" + (Dir.Path() / Name).string() + "' " + Args + " 2>/dev/null";
    FILE* P = popen(Cmd.c_str(), "r");
    if (!P) return R;
    char Buf[4096];
    size_t N;
    while ((N = fread(Buf, 1, sizeof(Buf), P)) > 0) R.Output.append(Buf, N);
    const int Status = pclose(P);
    R.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return R;
  }
  std::vector<std::string> LogLines() {
    std::vector<std::string> Lines;
    if (!std::filesystem::exists(Dir.Path() / "Logs")) return Lines;
    for (auto& E : std::filesystem::recursive_directory_iterator(Dir.Path() / "Logs"))
      if (E.is_regular_file())
        for (auto& L : SplitCrLf(ReadFile(E.path()))) Lines.push_back(L);
    return Lines;
  }
  TTempDir Dir;
};

TEST_F(Program, FirstStartWritesTheConfigurationLogsTheBannerAndShowsUsage) {
  const TRun R = Run("/?");
  EXPECT_EQ(R.ExitCode, 0);
  const auto Out = SplitCrLf(R.Output);
  ASSERT_EQ(Out.size(), 14u) << R.Output;
  EXPECT_EQ(Out[3], "Usage:        Brenvic <command>");
  EXPECT_EQ(Out[13], "NOTICE: Commands are NOT case sensitive.");

  std::string Image;
  ASSERT_TRUE(Platform::LoadResourceBytes("BRENVIC_INI", "CFGFILE", Image));
  EXPECT_EQ(ReadFile(Dir.Path() / "Brenvic.ini"), Image);

  // The shipped file switches logging on: the banner is there, with a stamp per line.
  const auto Lines = LogLines();
  ASSERT_EQ(Lines.size(), 5u);
  const std::string Stars(67, '*');
  EXPECT_EQ(Lines[0].size(), 13u);
  EXPECT_EQ(Lines[1].substr(13), Stars);
  EXPECT_EQ(Lines[2].substr(13), "TAVEK Vantelo service v" + std::string(BRENVIC_EXPECTED_VERSION));
  EXPECT_EQ(Lines[3].substr(13), "Using config file: " + (Dir.Path() / "Brenvic.ini").string());
  EXPECT_EQ(Lines[4].substr(13), Stars);
}

TEST_F(Program, ARenamedProgramStartsFromTheImageUnderItsOwnName) {
  std::filesystem::rename(Dir.Path() / "Brenvic", Dir.Path() / "Bridge");
  ASSERT_EQ(Run("/?", "Bridge").ExitCode, 0);
  std::string Image;
  ASSERT_TRUE(Platform::LoadResourceBytes("BRENVIC_INI", "CFGFILE", Image));
  EXPECT_EQ(ReadFile(Dir.Path() / "Bridge.ini"), Image) << "written under the name that is read";
  EXPECT_FALSE(std::filesystem::exists(Dir.Path() / "Brenvic.ini"));
  const auto Lines = LogLines();
  ASSERT_EQ(Lines.size(), 5u) << "the image's DoLog=5 is in force: the banner";
  EXPECT_EQ(Lines[3].substr(13), "Using config file: " + (Dir.Path() / "Bridge.ini").string());
}

TEST_F(Program, NoBannerWithLoggingOff) {
  TestSupport::WriteFile(Dir.Path() / "Brenvic.ini", "[Options]\r\nDoLog=0\r\n");
  const TRun R = Run("");
  EXPECT_EQ(R.ExitCode, 2) << "no command: the usage text";
  EXPECT_EQ(SplitCrLf(R.Output).size(), 14u) << "no argument from a console: the usage text";
  EXPECT_TRUE(LogLines().empty());
  EXPECT_EQ(ReadFile(Dir.Path() / "Brenvic.ini"), "[Options]\r\nDoLog=0\r\n") << "never overwritten";
}

TEST_F(Program, UnwritableFolderStillRuns) {
  // A log folder that cannot be created, and no room for the configuration file.
  TestSupport::WriteFile(Dir.Path() / "Logs", "not a folder");
  TestSupport::WriteFile(Dir.Path() / "Brenvic.ini", std::string(1 << 20, '\0'));
  const TRun R = Run("KILL extra");
  EXPECT_EQ(R.ExitCode, 2) << "kill takes no second argument: the usage text";
  EXPECT_EQ(SplitCrLf(R.Output).size(), 14u);
}

}  // namespace
