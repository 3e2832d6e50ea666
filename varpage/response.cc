#include "response.h"

#include "http_date.h"
#include "page.h"

namespace varpage {
namespace {

constexpr WireLiteral kContentType = "Content-type: text/html\n";
constexpr WireLiteral kLastModified = "Last-Modified: ";
constexpr WireLiteral kExpires = "\nExpires: ";
constexpr WireLiteral kHeaderEnd = "\n\n";

}  // namespace

void write_response(OutputStream& out, EnvironmentList environment, std::int64_t now,
                    HostLookup& lookup) {
  HttpDateBuffer date;
  out.write(kContentType);
  format_http_date(now - 60, date);
  out.write(kLastModified);
  out.write(date);
  format_http_date(now + 60, date);
  out.write(kExpires);
  out.write(date);
  out.write(kHeaderEnd);
  write_page(out, environment, date, lookup);
}

}  // namespace varpage
