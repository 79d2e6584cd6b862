#pragma once
// Splitting a delimited list the way the program's list texts are read:
// leading blanks and control characters (codes 1 to 32) are skipped; an item in
// double quotes may hold blanks and delimiters, and two double quotes inside it
// stand for one (a missing closing quote takes the rest of the text); outside
// quotes an item ends at a blank, a control character or the delimiter; two
// delimiters in a row give an empty item, and a delimiter at the very end adds
// one more, empty, item. Without BlanksSeparate an item outside quotes ends only
// at the delimiter and loses its trailing blanks: "Windows Update, x" is two items.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Platform {

std::vector<std::string> SplitDelimitedText(const std::string& Text, char Delimiter, bool BlanksSeparate = true);

// A whole number as the program's texts write it: an optional sign, then
// decimal digits, or hexadecimal digits after "$", "0x" or "0X" (and after a
// bare "x" or "X" when AllowBareX), nothing else before or after. False for
// anything else and for a number outside the signed 32-bit range.
bool ParseInt32(const std::string& Text, int32_t& Value, bool AllowBareX = false);

// The length of the well-formed UTF-8 sequence that starts at Text[Pos] (1 to
// 4), or 0 when the bytes there are none (a stray continuation byte, an
// overlong form, a surrogate, beyond U+10FFFF, cut short). For escapers that
// must emit valid UTF-8 whatever bytes they are given.
size_t Utf8SequenceLength(std::string_view Text, size_t Pos);

// Text with its ASCII capitals made small (other bytes kept): how a setting's
// word is compared whatever case the INI file wrote it in.
std::string AsciiLower(std::string Text);

// Base64 of RFC 4648 (the standard alphabet, "=" padding) into Bytes, which is
// overwritten. Strict, as keys are written: a length that is a multiple of 4,
// padding only at the end and only where the last group is short, no blanks,
// no line breaks, and the unused bits of the last group zero. False for
// anything else (Bytes is then empty).
bool DecodeBase64(std::string_view Text, std::vector<uint8_t>& Bytes);

}  // namespace Platform
