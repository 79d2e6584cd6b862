#pragma once
// Splitting a delimited list the way the program's list texts are read:
// leading blanks and control characters (codes 1 to 32) are skipped; an item in
// double quotes may hold blanks and delimiters, and two double quotes inside it
// stand for one (a missing closing quote takes the rest of the text); outside
// quotes an item ends at a blank, a control character or the delimiter; two
// delimiters in a row give an empty item, and a delimiter at the very end adds
// one more, empty, item.

#include <string>
#include <vector>

namespace Platform {

std::vector<std::string> SplitDelimitedText(const std::string& Text, char Delimiter);

}  // namespace Platform
