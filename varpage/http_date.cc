#include "http_date.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace varpage {
namespace {

// 0001-01-01 00:00:00 and 9999-12-31 23:59:59 UTC: the span in which every
// year has four digits.
constexpr std::int64_t kFirstSecond = -62135596800;
constexpr std::int64_t kLastSecond = 253402300799;

constexpr char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char* put_digits(char* out, unsigned value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

char* put_text(char* out, const char* text, std::size_t size) {
  std::memcpy(out, text, size);
  return out + size;
}

}  // namespace

void format_http_date(std::int64_t seconds, HttpDateBuffer& buffer) {
  using namespace std::chrono;
  const sys_seconds time{std::chrono::seconds{std::clamp(seconds, kFirstSecond, kLastSecond)}};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const weekday day_of_week{day};
  const hh_mm_ss<std::chrono::seconds> clock{time - day};

  char* out = buffer;
  out = put_text(out, kDayNames[day_of_week.c_encoding()], 3);
  out = put_text(out, ", ", 2);
  out = put_digits(out, static_cast<unsigned>(date.day()), 2);
  out = put_text(out, " ", 1);
  out = put_text(out, kMonthNames[static_cast<unsigned>(date.month()) - 1], 3);
  out = put_text(out, " ", 1);
  out = put_digits(out, static_cast<unsigned>(static_cast<int>(date.year())), 4);
  out = put_text(out, " ", 1);
  out = put_digits(out, static_cast<unsigned>(clock.hours().count()), 2);
  out = put_text(out, ":", 1);
  out = put_digits(out, static_cast<unsigned>(clock.minutes().count()), 2);
  out = put_text(out, ":", 1);
  out = put_digits(out, static_cast<unsigned>(clock.seconds().count()), 2);
  out = put_text(out, " GMT", 4);
  *out = '\0';
}

}  // namespace varpage
