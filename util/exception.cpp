#include "util/exception.h"

#include <cerrno>
#include <cstring>

namespace vt {

std::string SystemErrorText(int error_code) {
  char buffer[256];
  // The GNU strerror_r may return a static text instead of filling buffer.
  const char* text = ::strerror_r(error_code, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("Unknown error ") + std::to_string(error_code);
}

void RaiseOSError(int error_code) { throw EOSError(error_code, SystemErrorText(error_code)); }

void RaiseLastOSError() { RaiseOSError(errno); }

}  // namespace vt
