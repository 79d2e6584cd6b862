#include "errors.h"

#include <asio.hpp>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#endif

namespace TPKT {

void SetLastErrorCode(int Code) noexcept {
#if defined(_WIN32)
  ::SetLastError(static_cast<DWORD>(Code));
#else
  errno = Code;
#endif
}

int SystemCode(const std::error_code& Ec) noexcept {
  if (!Ec) return 0;
  if (Ec.category() == asio::system_category()) return Ec.value();
  if (Ec == asio::error::eof) return asio::error::connection_reset;
  if (Ec == asio::error::host_not_found || Ec == asio::error::host_not_found_try_again ||
      Ec == asio::error::no_data || Ec == asio::error::no_recovery)
    return asio::error::host_unreachable;
  return asio::error::invalid_argument;
}

int32_t Fail(int Code) noexcept {
  SetLastErrorCode(Code != 0 ? Code : static_cast<int>(asio::error::invalid_argument));
  return -1;
}

int32_t Fail(const std::error_code& Ec) noexcept { return Fail(SystemCode(Ec)); }

}  // namespace TPKT
