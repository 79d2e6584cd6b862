#include "platform/sysmsg.h"

namespace Platform {

std::string TrimSystemMessage(std::string Text) {
  while (!Text.empty()) {
    const unsigned char C = static_cast<unsigned char>(Text.back());
    if (C <= ' ' || C == '.')
      Text.pop_back();
    else
      break;
  }
  return Text;
}

}  // namespace Platform
