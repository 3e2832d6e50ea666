#include "response.h"

#include "http_date.h"
#include "page.h"

namespace varpage {
namespace {

constexpr WireLiteral kContentType = "Content-type: text/html\n";
constexpr WireLiteral kLastModified = "Last-Modified: ";
constexpr WireLiteral kExpires = "\nExpires: ";
// The page shows the request's cookies and, behind some servers, its
// Authorization header: a shared cache must never hand it to anyone else.
// The client's own browser may still keep it until Expires.
constexpr WireLiteral kCacheControl = "\nCache-Control: private";
constexpr WireLiteral kHeaderEnd = "\n\n";

}  // namespace

void write_response(OutputStream& out, EnvironmentList environment, std::int64_t now,
                    HostLookup& lookup) {
  // Before the first byte: nothing of the response leaves while the resolver
  // takes its time, so a process that dies meanwhile has sent nothing.
  LookupAhead looked_up(lookup, environment);
  HttpDateBuffer date;
  out.write(kContentType);
  format_http_date(now - 60, date);
  out.write(kLastModified);
  out.write(date);
  format_http_date(now + 60, date);
  out.write(kExpires);
  out.write(date);
  out.write(kCacheControl);
  out.write(kHeaderEnd);
  write_page(out, environment, date, looked_up);
}

}  // namespace varpage
