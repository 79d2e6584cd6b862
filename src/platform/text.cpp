#include "platform/text.h"

namespace Platform {
namespace {
bool IsBlankOrControl(char C) {
  const unsigned char U = static_cast<unsigned char>(C);
  return U >= 1 && U <= 32;
}
}  // namespace

std::vector<std::string> SplitDelimitedText(const std::string& Text, char Delimiter) {
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
      while (P < N && static_cast<unsigned char>(Text[P]) > 32 && Text[P] != Delimiter) ++P;
      Item = Text.substr(Start, P - Start);
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

}  // namespace Platform
