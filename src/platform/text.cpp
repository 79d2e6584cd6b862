#include "platform/text.h"

#include <limits>

namespace Platform {
namespace {
bool IsBlankOrControl(char C) {
  const unsigned char U = static_cast<unsigned char>(C);
  return U >= 1 && U <= 32;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}
}  // namespace

bool ParseInt32(const std::string& Text, int32_t& Value, bool AllowBareX) {
  size_t I = 0;
  bool Negative = false;
  if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) Negative = Text[I++] == '-';
  int Base = 10;
  if (I < Text.size() && (Text[I] == '$' || (AllowBareX && (Text[I] == 'x' || Text[I] == 'X')))) {
    Base = 16;
    ++I;
  } else if (I + 1 < Text.size() && Text[I] == '0' && (Text[I + 1] == 'x' || Text[I + 1] == 'X')) {
    Base = 16;
    I += 2;
  }
  if (I >= Text.size()) return false;
  int64_t Magnitude = 0;
  for (; I < Text.size(); ++I) {
    const int D = Base == 16 ? HexDigit(Text[I]) : (Text[I] >= '0' && Text[I] <= '9' ? Text[I] - '0' : -1);
    if (D < 0) return false;
    Magnitude = Magnitude * Base + D;
    if (Magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  const int64_t Signed = Negative ? -Magnitude : Magnitude;
  if (Signed > std::numeric_limits<int32_t>::max()) return false;
  Value = static_cast<int32_t>(Signed);
  return true;
}

std::vector<std::string> SplitDelimitedText(const std::string& Text, char Delimiter, bool BlanksSeparate) {
  std::vector<std::string> Items;
  const size_t N = Text.size();
  size_t P = 0;
  while (P < N && IsBlankOrControl(Text[P])) ++P;
  while (P < N && Text[P] != '\0') {
    std::string Item;
    if (Text[P] == '"') {
      ++P;
      while (P < N) {
        if (Text[P] == '"') {
          if (P + 1 < N && Text[P + 1] == '"') {
            Item += '"';
            P += 2;
            continue;
          }
          ++P;
          break;
        }
        Item += Text[P++];
      }
    } else {
      const size_t Start = P;
      while (P < N && Text[P] != Delimiter && Text[P] != '\0' && (!BlanksSeparate || !IsBlankOrControl(Text[P]))) ++P;
      size_t End = P;
      while (End > Start && IsBlankOrControl(Text[End - 1])) --End;
      Item = Text.substr(Start, End - Start);
    }
    Items.push_back(std::move(Item));
    while (P < N && IsBlankOrControl(Text[P])) ++P;
    if (P < N && Text[P] == Delimiter) {
      if (P + 1 == N) Items.emplace_back();
      do {
        ++P;
      } while (P < N && IsBlankOrControl(Text[P]));
    }
  }
  return Items;
}

size_t Utf8SequenceLength(std::string_view Text, size_t Pos) {
  const auto Byte = [&](size_t I) { return static_cast<unsigned char>(Text[I]); };
  const unsigned char Lead = Byte(Pos);
  if (Lead < 0x80) return 1;
  // The range of the second byte narrows for E0, ED, F0 and F4: that keeps out
  // overlong forms, surrogates and code points beyond U+10FFFF.
  size_t Length;
  unsigned char Low = 0x80, High = 0xBF;
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    if (Lead == 0xE0) Low = 0xA0;
    if (Lead == 0xED) High = 0x9F;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    if (Lead == 0xF0) Low = 0x90;
    if (Lead == 0xF4) High = 0x8F;
  } else {
    return 0;
  }
  if (Text.size() - Pos < Length) return 0;
  for (size_t I = 1; I < Length; ++I) {
    const unsigned char C = Byte(Pos + I);
    if (C < (I == 1 ? Low : 0x80) || C > (I == 1 ? High : 0xBF)) return 0;
  }
  return Length;
}

namespace {
int Base64Digit(char C) {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == '/') return 63;
  return -1;
}
}  // namespace

bool DecodeBase64(std::string_view Text, std::vector<uint8_t>& Bytes) {
  Bytes.clear();
  if (Text.size() % 4 != 0) return false;
  size_t Padding = 0;
  while (Padding < 2 && Padding < Text.size() && Text[Text.size() - 1 - Padding] == '=') ++Padding;
  const size_t Digits = Text.size() - Padding;
  Bytes.reserve(Digits * 3 / 4);
  uint32_t Group = 0;
  for (size_t I = 0; I < Digits; ++I) {
    const int D = Base64Digit(Text[I]);
    if (D < 0) {
      Bytes.clear();
      return false;
    }
    Group = Group << 6 | static_cast<uint32_t>(D);
    if (I % 4 == 3) {
      Bytes.push_back(static_cast<uint8_t>(Group >> 16));
      Bytes.push_back(static_cast<uint8_t>(Group >> 8));
      Bytes.push_back(static_cast<uint8_t>(Group));
      Group = 0;
    }
  }
  // A short last group: two digits give one byte (4 bits unused), three give
  // two (2 bits unused).
  const uint32_t Unused = Padding == 2 ? 4 : Padding == 1 ? 2 : 0;
  if ((Group & ((1u << Unused) - 1)) != 0) {
    Bytes.clear();
    return false;
  }
  Group >>= Unused;
  if (Padding == 2) Bytes.push_back(static_cast<uint8_t>(Group));
  if (Padding == 1) {
    Bytes.push_back(static_cast<uint8_t>(Group >> 8));
    Bytes.push_back(static_cast<uint8_t>(Group));
  }
  return true;
}

std::string AsciiLower(std::string Text) {
  for (char& C : Text)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return Text;
}

}  // namespace Platform
