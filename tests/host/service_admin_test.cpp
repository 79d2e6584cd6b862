// The pre-installed services list of the install command, and the list rule it
// splits by.
#include <gtest/gtest.h>

#include "host/service_admin.h"
#include "platform/text.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::TTempDir;

struct TSplitCase {
  const char* Text;
  char Delimiter;
  std::vector<std::string> Items;
  bool BlanksSeparate = true;
};

TEST(DelimitedText, SplittingRule) {
  const TSplitCase Cases[] = {
      {"first,second", ',', {"first", "second"}},
      {"A B|C", '|', {"A", "B", "C"}},
      {"A||B", '|', {"A", "", "B"}},
      {"a,", ',', {"a", ""}},
      {",a", ',', {"", "a"}},
      {"  \t lead", ',', {"lead"}},
      {"\"with, comma and blank\",x", ',', {"with, comma and blank", "x"}},
      {"\"say \"\"hi\"\"\"", ',', {"say \"hi\""}},
      {"\"unclosed, rest", ',', {"unclosed, rest"}},
      {"\"a\"b", ',', {"a", "b"}},
      {"a , b", ',', {"a", "b"}},
      {"a |", '|', {"a", ""}},
      {"Plantronics Blackwire C210|Sennheiser USB headset|Logitech USB Headset|USB VoIP Device", '|',
       {"Plantronics", "Blackwire", "C210", "Sennheiser", "USB", "headset", "Logitech", "USB", "Headset", "USB",
        "VoIP", "Device"}},
      {"", ',', {}},
      {"   ", ',', {}},
      // Only the delimiter separates: blanks inside an item stay, around it go.
      {" Windows Update ,\tPrint  Spooler\t", ',', {"Windows Update", "Print  Spooler"}, false},
      {"a b,,\"c, d\" e,", ',', {"a b", "", "c, d", "e", ""}, false},
      {"   ", ',', {}, false},
  };
  for (const TSplitCase& C : Cases)
    EXPECT_EQ(Platform::SplitDelimitedText(C.Text, C.Delimiter, C.BlanksSeparate), C.Items) << C.Text;
}

class PreinstalledList : public ::testing::Test {
protected:
  bool Save(const std::string& Argument) {
    return SavePreinstalledServices(Argument, Dir.Dir(), [this](const std::string& L) { Console.push_back(L); });
  }
  bool ListExists() const { return std::filesystem::exists(Dir.Path() / "PreinstalledServices.lst"); }
  std::string List() const { return ReadFile(Dir.Path() / "PreinstalledServices.lst"); }

  TTempDir Dir;
  std::vector<std::string> Console;
};

TEST_F(PreinstalledList, ItemsAreAnnouncedAndWrittenOnePerLine) {
  EXPECT_TRUE(Save("-L(a,b)"));
  EXPECT_EQ(Console, (std::vector<std::string>{"Added preinstall administrative service from \"a\"",
                                               "Added preinstall administrative service from \"b\""}));
  EXPECT_EQ(List(), "a\r\nb\r\n");

  Console.clear();
  EXPECT_TRUE(Save("-L[\"Svc One\",,two,]"));
  EXPECT_EQ(Console.size(), 4u);
  EXPECT_EQ(List(), "Svc One\r\n\r\ntwo\r\n\r\n") << "the earlier file is replaced";
}

TEST_F(PreinstalledList, ServiceNamesKeepTheirBlanks) {
  EXPECT_TRUE(Save("-L(Windows Update, Print Spooler)"));
  EXPECT_EQ(Console, (std::vector<std::string>{"Added preinstall administrative service from \"Windows Update\"",
                                               "Added preinstall administrative service from \"Print Spooler\""}));
  EXPECT_EQ(List(), "Windows Update\r\nPrint Spooler\r\n");
}

TEST_F(PreinstalledList, NothingWithoutAUsableList) {
  for (const char* Argument : {"", "-l(a)", "-L()", "-L(", "x-L", "-L(a"}) {
    Console.clear();
    EXPECT_TRUE(Save(Argument)) << Argument;
    EXPECT_TRUE(Console.empty()) << Argument;
    EXPECT_FALSE(ListExists()) << Argument;
  }
}

TEST_F(PreinstalledList, TheListTextIsTakenByPositionNotByWhereTheOptionStands) {
  EXPECT_TRUE(Save("xy-L(a)"));
  // From the fourth character to the one before the last: "L(a" of "xy-L(a)".
  EXPECT_EQ(List(), "L(a\r\n");
}

TEST_F(PreinstalledList, AnUnwritableFileIsReportedAndStopsTheCommand) {
  std::filesystem::create_directory(Dir.Path() / "PreinstalledServices.lst");
  EXPECT_FALSE(Save("-L(a)"));
  ASSERT_EQ(Console.size(), 2u);
  EXPECT_EQ(Console[1].rfind("Error writing \"" + (Dir.Path() / "PreinstalledServices.lst").string() + "\" - ", 0), 0u)
      << Console[1];
  EXPECT_GT(Console[1].size(), Console[1].find(" - ") + 3) << "the system's text follows";
}

}  // namespace
