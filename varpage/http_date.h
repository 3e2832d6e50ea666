// Dates in the fixed form HTTP headers use, e.g. "Sun, 09 Sep 2001 01:45:40 GMT".
#pragma once

#include <cstdint>

namespace varpage {

// Room for the 29 characters of a date and the terminating zero, with a
// little to spare.
using HttpDateBuffer = char[32];

// Renders `seconds` since 1970-01-01 00:00:00 UTC in UTC with English names,
// whatever the time zone or locale. Times before year 1 or after year 9999
// are clamped to those years' bounds so the text always keeps its width.
void format_http_date(std::int64_t seconds, HttpDateBuffer& buffer);

}  // namespace varpage
