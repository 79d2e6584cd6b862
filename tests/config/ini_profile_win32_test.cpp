// Our INI reader against the Windows profile functions on tricky files.
// Where the two differ, the reading rules that the program documents hold; the
// known differences are listed in KnownDifferences.

#include <windows.h>

#include <gtest/gtest.h>

#include "config/ini_file.h"
#include "test_support.h"

namespace {

struct TProbe {
  const char* Section;
  const char* Key;
};

struct TProfileCase {
  const char* Name;
  std::string Content;
  std::vector<TProbe> Probes;
};

std::string Profile(const std::string& Path, const char* Section, const char* Key) {
  std::vector<char> Buf(2048);
  const DWORD Len = GetPrivateProfileStringA(Section, Key, "<default>", Buf.data(),
                                             static_cast<DWORD>(Buf.size()), Path.c_str());
  return std::string(Buf.data(), Len);
}

TEST(IniProfileDifferential, OurReaderAgreesWithTheProfileFunctions) {
  std::string Binary = "[Options]\r\nDoLog=1\r\n";
  for (int I = 1; I < 256; ++I)
    if (I != '\r' && I != '\n' && I != '[') Binary += static_cast<char>(I);
  Binary += "\r\nLocalPort=77\r\n";

  const std::vector<TProfileCase> Cases = {
      {"quotes",
       "[Options]\r\nA=\"quoted\"\r\nB='single'\r\nC=\"half\r\nD=\"mixed'\r\nE=\"\"\r\nF= \" in \" \r\n",
       {{"Options", "A"}, {"Options", "B"}, {"Options", "C"}, {"Options", "D"}, {"Options", "E"},
        {"Options", "F"}}},
      {"blanks", "[ Options ]\r\n  Key  =  value with  blanks  \r\n\tTab\t=\tx\t\r\n",
       {{"Options", "Key"}, {"Options", "Tab"}}},
      {"comments", "[Options]\r\n;A=1\r\n  ;B=2\r\nC=3 ; not a comment\r\n",
       {{"Options", "A"}, {"Options", "B"}, {"Options", "C"}}},
      {"duplicates", "[Options]\r\nK=first\r\nK=second\r\n[Other]\r\nK=o\r\n[options]\r\nK=third\r\nL=later\r\n",
       {{"Options", "K"}, {"Other", "K"}, {"Options", "L"}}},
      {"case", "[OPTIONS]\r\nlocalport=5\r\n", {{"Options", "LocalPort"}, {"options", "LOCALPORT"}}},
      {"long", "[Options]\r\nV=" + std::string(3000, 'x') + "\r\n", {{"Options", "V"}}},
      {"no section", "DoLog=1\r\nLocalPort=5\r\n", {{"Options", "DoLog"}, {"", "DoLog"}}},
      {"no equals", "[Options]\r\nBare\r\nK=v\r\n", {{"Options", "Bare"}, {"Options", "K"}}},
      {"lf only", "[Options]\nA=1\nB=2", {{"Options", "A"}, {"Options", "B"}}},
      {"binary junk", Binary, {{"Options", "DoLog"}, {"Options", "LocalPort"}}},
      {"empty value", "[Options]\r\nE=\r\nF=   \r\n", {{"Options", "E"}, {"Options", "F"}}},
  };

  TestSupport::TTempDir Dir;
  int Index = 0;
  for (const TProfileCase& C : Cases) {
    const std::string Path = (Dir.Path() / ("case" + std::to_string(Index++) + ".ini")).string();
    TestSupport::WriteFile(Path, C.Content);
    const TIniFile Ours(Path);
    for (const TProbe& P : C.Probes) {
      const std::string Theirs = Profile(Path, P.Section, P.Key);
      const std::string Mine = Ours.ReadString(P.Section, P.Key, "<default>");
      EXPECT_EQ(Mine, Theirs) << C.Name << ": [" << P.Section << "] " << P.Key;
    }
  }
}

}  // namespace
