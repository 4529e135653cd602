#include "support/scoped_time_zone.h"

#include <cstdlib>
#include <ctime>

namespace vt::test {

ScopedTimeZone::ScopedTimeZone(const std::string& tz) {
  if (const char* current = std::getenv("TZ")) previous_ = current;
  ::setenv("TZ", tz.c_str(), 1);
  ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (previous_) {
    ::setenv("TZ", previous_->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

}  // namespace vt::test
