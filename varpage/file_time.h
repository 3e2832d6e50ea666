// Windows keeps the system time as a FILETIME: a count of 100-nanosecond
// intervals since 1601-01-01 00:00:00 UTC. The conversion lives apart from
// the Windows platform file so it is tested on every platform.
#pragma once

#include <cstdint>

namespace varpage {

// Whole seconds since 1970-01-01 00:00:00 UTC, rounded down, for a FILETIME
// count.
constexpr std::int64_t seconds_since_1970(std::uint64_t file_time) {
  constexpr std::uint64_t ticks_per_second = 10'000'000;
  // 369 years of the Gregorian calendar, 89 of them leap years.
  constexpr std::int64_t seconds_from_1601_to_1970 = 11'644'473'600;
  return static_cast<std::int64_t>(file_time / ticks_per_second) - seconds_from_1601_to_1970;
}

}  // namespace varpage
