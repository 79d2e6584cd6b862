#include "config/ini_file.h"

#include <cctype>

#include "platform/files.h"
#include "platform/text.h"

namespace {
bool IsBlank(char C) { return C == ' ' || C == '\t'; }

std::string Trim(const std::string& S) {
  size_t B = 0, E = S.size();
  while (B < E && IsBlank(S[B])) ++B;
  while (E > B && IsBlank(S[E - 1])) --E;
  return S.substr(B, E - B);
}

bool SameText(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (std::tolower(static_cast<unsigned char>(A[I])) != std::tolower(static_cast<unsigned char>(B[I])))
      return false;
  return true;
}

}  // namespace

TIniFile::TIniFile(const std::string& FileName) {
  std::string Text;
  if (Platform::ReadWholeFile(FileName, Text)) Parse(Text);
}

TIniFile TIniFile::FromText(const std::string& Text) {
  TIniFile Ini;
  Ini.Parse(Text);
  return Ini;
}

void TIniFile::Parse(const std::string& Text) {
  // Lines before the first section header belong to a nameless section.
  FSections.push_back({"", {}});
  TSection* Current = &FSections.back();
  size_t Pos = 0;
  if (Text.rfind("\xEF\xBB\xBF", 0) == 0) {
    // Else the first section's name would begin with the mark and never match.
    FByteOrderMark = TByteOrderMark::Utf8;
    Pos = 3;
  } else if (Text.rfind("\xFF\xFE", 0) == 0 || Text.rfind("\xFE\xFF", 0) == 0) {
    // Two bytes a character: no name or value of it could match.
    FByteOrderMark = TByteOrderMark::Utf16;
    return;
  }
  while (Pos < Text.size()) {
    size_t End = Text.find_first_of("\r\n", Pos);
    if (End == std::string::npos) End = Text.size();
    const std::string Line = Trim(Text.substr(Pos, End - Pos));
    Pos = End;
    if (Pos < Text.size() && Text[Pos] == '\r') ++Pos;
    if (Pos < Text.size() && Text[Pos] == '\n') ++Pos;

    if (Line.empty() || Line[0] == ';') continue;
    if (Line[0] == '[') {
      const size_t Close = Line.find(']');
      const std::string Name = Trim(Line.substr(1, Close == std::string::npos ? std::string::npos : Close - 1));
      FSections.push_back({Name, {}});
      Current = &FSections.back();
      continue;
    }
    const size_t Eq = Line.find('=');
    if (Eq == std::string::npos) continue;  // a name without "=" has no value: the default
    std::string Value = Trim(Line.substr(Eq + 1));
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') && Value.back() == Value.front())
      Value = Value.substr(1, Value.size() - 2);
    Current->Entries.push_back({Trim(Line.substr(0, Eq)), std::move(Value)});
  }
}

const std::string* TIniFile::Find(const std::string& Section, const std::string& Key) const {
  // The first section of that name decides, and in it the first key of that name.
  for (const TSection& S : FSections) {
    if (!SameText(S.Name, Section)) continue;
    for (const TEntry& E : S.Entries)
      if (SameText(E.Key, Key)) return &E.Value;
    return nullptr;
  }
  return nullptr;
}

bool TIniFile::HasSection(const std::string& Section) const {
  for (const TSection& S : FSections)
    if (SameText(S.Name, Section)) return true;
  return false;
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Key,
                                 const std::string& Default) const {
  const std::string* Value = Find(Section, Key);
  std::string Result = Value ? *Value : Default;
  if (Result.size() > MaxValueLength) Result.resize(MaxValueLength);
  return Result;
}

bool TIniFile::ParseInteger(const std::string& Text, int32_t& Value) { return Platform::ParseInt32(Text, Value); }

int32_t TIniFile::ReadInteger(const std::string& Section, const std::string& Key,
                              int32_t Default) const {
  int32_t Value = 0;
  return ParseInteger(ReadString(Section, Key, ""), Value) ? Value : Default;
}

std::string TIniFile::NotANumber(const std::string& Section, const std::string& Key) const {
  const std::string Text = ReadString(Section, Key, "");
  int32_t Value = 0;
  return Text.empty() || ParseInteger(Text, Value) ? std::string() : Text;
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Key, bool Default) const {
  return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}
