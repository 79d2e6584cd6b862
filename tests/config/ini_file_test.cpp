#include "config/ini_file.h"

#include <gtest/gtest.h>

namespace {

TEST(IniFile, NamesIgnoreCaseValuesAreTrimmedAndUnquoted) {
  const TIniFile Ini = TIniFile::FromText(
      "[options]\r\n"
      "  LocalIP =  10.0.0.1  \r\n"
      "Quoted=\"  spaced  \"\r\n"
      "Single='x'\r\n"
      "Half=\"open\r\n"
      "Mixed=\"a'\r\n"
      "Empty=\r\n"
      "; Commented=1\r\n"
      "Bare\r\n");
  EXPECT_EQ(Ini.ReadString("Options", "Bare", "d"), "d") << "a name without = has no value";
  EXPECT_EQ(Ini.ReadString("OPTIONS", "localip", "d"), "10.0.0.1");
  EXPECT_EQ(Ini.ReadString("Options", "Quoted", "d"), "  spaced  ");
  EXPECT_EQ(Ini.ReadString("Options", "Single", "d"), "x");
  EXPECT_EQ(Ini.ReadString("Options", "Half", "d"), "\"open");
  EXPECT_EQ(Ini.ReadString("Options", "Mixed", "d"), "\"a'");
  EXPECT_EQ(Ini.ReadString("Options", "Empty", "d"), "");
  EXPECT_EQ(Ini.ReadString("Options", "Commented", "d"), "d");
  EXPECT_EQ(Ini.ReadString("Options", "Missing", "d"), "d");
  EXPECT_EQ(Ini.ReadString("Other", "LocalIP", "d"), "d");
}

TEST(IniFile, FirstSectionAndFirstKeyOfANameWin) {
  const TIniFile Ini = TIniFile::FromText(
      "Orphan=1\n[A]\nK=first\nK=second\n[B]\nK=b\n[a]\nK=third\nOnlyLater=x\n");
  EXPECT_EQ(Ini.ReadString("A", "K", "d"), "first");
  EXPECT_EQ(Ini.ReadString("B", "K", "d"), "b");
  EXPECT_EQ(Ini.ReadString("", "Orphan", "d"), "1") << "keys before any section belong to the nameless one";
}

TEST(IniFile, ValuesAreCutTo2047Characters) {
  const std::string Long(3000, 'v');
  const TIniFile Ini = TIniFile::FromText("[Options]\r\nRecDeviceID=" + Long + "\r\n");
  EXPECT_EQ(Ini.ReadString("Options", "RecDeviceID", ""), Long.substr(0, 2047));
  EXPECT_EQ(Ini.ReadString("Options", "Missing", Long).size(), 2047u);
}

struct TNumberCase {
  const char* Text;
  bool Valid;
  int32_t Value;
};

TEST(IniFile, IntegerRule) {
  const TNumberCase Cases[] = {
      {"0", true, 0},          {"5", true, 5},
      {"-1", true, -1},        {"+7", true, 7},
      {"0x7530", true, 30000}, {"0X7530", true, 30000},
      {"$7530", true, 30000},  {"-$10", true, -16},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0}, {"0xFFFFFFFF", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},          {"yes", false, 0},
      {"12a", false, 0},       {"0x", false, 0},
      {"$", false, 0},         {"-", false, 0},
      {"1 2", false, 0},       {"0x1G", false, 0},
  };
  for (const TNumberCase& C : Cases) {
    int32_t V = 12345;
    EXPECT_EQ(TIniFile::ParseInteger(C.Text, V), C.Valid) << C.Text;
    if (C.Valid) {
      EXPECT_EQ(V, C.Value) << C.Text;
    }
  }
}

TEST(IniFile, BooleansAreWholeNumbers) {
  const TIniFile Ini = TIniFile::FromText("[O]\nA=0\nB=5\nC=-1\nD=yes\nE=true\n");
  EXPECT_FALSE(Ini.ReadBool("O", "A", true));
  EXPECT_TRUE(Ini.ReadBool("O", "B", false));
  EXPECT_TRUE(Ini.ReadBool("O", "C", false));
  EXPECT_FALSE(Ini.ReadBool("O", "D", false));
  EXPECT_TRUE(Ini.ReadBool("O", "E", true));
}

TEST(IniFile, APresentValueThatIsNoNumberIsNamedAndReadAsTheDefault) {
  const TIniFile Ini = TIniFile::FromText("[O]\nA=yes\nB= \"6000 ms\" \nC=12\nD=\nE=0x1F\n");
  EXPECT_EQ(Ini.NotANumber("O", "A"), "yes");
  EXPECT_EQ(Ini.NotANumber("O", "B"), "6000 ms") << "as the reads see it";
  for (const char* Key : {"C", "D", "E", "Missing"}) EXPECT_EQ(Ini.NotANumber("O", Key), "") << Key;
}

TEST(IniFile, ByteOrderMarks) {
  const std::string Text = "[Options]\r\nLocalIP=127.0.0.1\r\n";
  const TIniFile Utf8 = TIniFile::FromText("\xEF\xBB\xBF" + Text);
  EXPECT_EQ(Utf8.ByteOrderMark(), TByteOrderMark::Utf8);
  EXPECT_EQ(Utf8.ReadString("Options", "LocalIP", "d"), "127.0.0.1") << "the first section is found";

  const TIniFile Later = TIniFile::FromText(Text + "\xEF\xBB\xBF[Other]\r\nK=v\r\n");
  EXPECT_EQ(Later.ByteOrderMark(), TByteOrderMark::None) << "only at the start of the file";
  EXPECT_EQ(Later.ReadString("Other", "K", "d"), "d");

  for (const std::string Mark : {"\xFF\xFE", "\xFE\xFF"}) {
    std::string Wide = Mark;
    for (const char C : Text) Wide += Mark[0] == '\xFF' ? std::string{C, '\0'} : std::string{'\0', C};
    const TIniFile Utf16 = TIniFile::FromText(Wide);
    EXPECT_EQ(Utf16.ByteOrderMark(), TByteOrderMark::Utf16);
    EXPECT_EQ(Utf16.ReadString("Options", "LocalIP", "d"), "d");
  }
}

TEST(IniFile, DamagedInputGivesDefaultsNotFailures) {
  std::string Junk;
  for (int I = 0; I < 4096; ++I) Junk += static_cast<char>((I * 37) & 0xFF);
  const TIniFile Binary = TIniFile::FromText(Junk);
  EXPECT_EQ(Binary.ReadString("Options", "DoLog", "d"), "d");

  const std::string MegaLine(1 << 20, 'x');
  const TIniFile Huge = TIniFile::FromText("[Options]\n" + MegaLine + "\nDoLog=1\nLocalIP=" + MegaLine + "\n");
  EXPECT_EQ(Huge.ReadInteger("Options", "DoLog", 0), 1);
  EXPECT_EQ(Huge.ReadString("Options", "LocalIP", "").size(), 2047u);

  const TIniFile Missing("/nonexistent-dir/none.ini");
  EXPECT_EQ(Missing.ReadInteger("Options", "LocalPort", 42), 42);

  const TIniFile Unclosed = TIniFile::FromText("[Options\nDoLog=1\n");
  EXPECT_EQ(Unclosed.ReadInteger("Options", "DoLog", 0), 1);
}

}  // namespace
