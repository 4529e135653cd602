#pragma once

// Sets the process time zone (TZ) for the lifetime of the object and
// restores the previous setting afterwards. Use a POSIX TZ string with fixed
// rules ("UTC0", "EST5", "CET-1CEST,M3.5.0,M10.5.0/3") so that a test does not
// depend on the machine's zone. Not for tests that run threads reading the
// time zone meanwhile.

#include <optional>
#include <string>

namespace vt::test {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

}  // namespace vt::test
