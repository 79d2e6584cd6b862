#pragma once
// Error codes of the system and their texts.

#include <string>

namespace Platform {

// The calling thread's last error code (GetLastError / errno).
int LastError();
void SetLastError(int Code);

// The system's message for an error code, at most 256 characters, with trailing
// blanks, control characters and full stops removed.
std::string SystemMessage(int Code);

// The trimming rule alone.
std::string TrimSystemMessage(std::string Text);

}  // namespace Platform
