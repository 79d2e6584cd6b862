#pragma once
// The INI reader, with the reading rules of the Windows profile functions:
// section and key names without regard to case, ";" comments, values trimmed and
// stripped of one pair of surrounding quotes, at most 2047 characters taken.
// A UTF-8 byte-order mark at the start is skipped; a UTF-16 file reads as empty.

#include <cstdint>
#include <string>
#include <vector>

// What the file began with: editors that save "UTF-8" or "Unicode" put a mark
// there that an 8-bit reader would take for text.
enum class TByteOrderMark { None, Utf8, Utf16 };

class TIniFile {
public:
  // Reads the file once; a missing or unreadable file is an empty one.
  explicit TIniFile(const std::string& FileName);
  // For text already in memory.
  static TIniFile FromText(const std::string& Text);

  std::string ReadString(const std::string& Section, const std::string& Key,
                         const std::string& Default) const;
  // Decimal with an optional sign, or hexadecimal after "0x", "0X" or "$"; the
  // default for anything else and for numbers outside the signed 32-bit range.
  int32_t ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const;
  // A whole number: 0 is false, any other number true.
  bool ReadBool(const std::string& Section, const std::string& Key, bool Default) const;
  // The text of a value that is there but is no such number, for which the two
  // reads above give their default; empty when the key is absent, its value
  // empty or a number.
  std::string NotANumber(const std::string& Section, const std::string& Key) const;

  // Whether the file has the section, even an empty one: a section that is
  // there switches its feature on.
  bool HasSection(const std::string& Section) const;

  TByteOrderMark ByteOrderMark() const { return FByteOrderMark; }

  static constexpr size_t MaxValueLength = 2047;

  // The number rule alone; false when Text is not such a number.
  static bool ParseInteger(const std::string& Text, int32_t& Value);

private:
  TIniFile() = default;
  void Parse(const std::string& Text);
  const std::string* Find(const std::string& Section, const std::string& Key) const;

  struct TEntry {
    std::string Key;
    std::string Value;
  };
  struct TSection {
    std::string Name;
    std::vector<TEntry> Entries;
  };
  std::vector<TSection> FSections;
  TByteOrderMark FByteOrderMark = TByteOrderMark::None;
};
