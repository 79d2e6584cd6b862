#pragma once
// What the executable carries inside itself: the default configuration image and
// its version.

#include <string>

namespace Platform {

// The bytes of the resource Name (matched without regard to case) of type Type
// in the executable's own module. False when there is no such resource.
bool LoadResourceBytes(const std::string& Name, const std::string& Type, std::string& Bytes);

// The executable's file version as "a.b.c.d"; empty when it carries none.
std::string ReadVersionText();

}  // namespace Platform
