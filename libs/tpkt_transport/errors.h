#pragma once
// Failures of the exports: -1 with the system's code as the thread's last error
// (the Windows last-error code, errno elsewhere).

#include <cstdint>
#include <system_error>

namespace TPKT {

void SetLastErrorCode(int Code) noexcept;

// The system's code for an Asio error; errors of Asio's own categories map to
// the nearest system code so that the program can always name a cause.
int SystemCode(const std::error_code& Ec) noexcept;

// Sets the code (a code of 0 becomes "invalid argument") and returns -1.
int32_t Fail(int Code) noexcept;
int32_t Fail(const std::error_code& Ec) noexcept;

}  // namespace TPKT
