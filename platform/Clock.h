// Clock helpers: a monotonic millisecond tick and the local calendar time.
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>

namespace velmo::platform {

// Milliseconds of a monotonic clock, truncated to 32 bits (wraps like a tick count).
std::uint32_t TickMs();

struct LocalTime {
  int year = 0;
  int month = 0;    // 1..12
  int day = 0;      // 1..31
  int hour = 0;     // 0..23
  int minute = 0;
  int second = 0;
  int weekday = 0;  // 0 = Sunday .. 6 = Saturday
};

// The current local date and time (localtime_r).
LocalTime Now();

}  // namespace velmo::platform
