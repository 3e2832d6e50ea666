#include "response.h"

#include "http_date.h"
#include "page.h"

namespace varpage {

void write_response(OutputStream& out, EnvironmentList environment, std::int64_t now,
                    HostLookup& lookup) {
  HttpDateBuffer date;
  out.write("Content-type: text/html\n");
  format_http_date(now - 60, date);
  out.write("Last-Modified: ");
  out.write(date);
  out.write("\n");
  format_http_date(now + 60, date);
  out.write("Expires: ");
  out.write(date);
  out.write("\n\n");
  write_page(out, environment, date, lookup);
}

}  // namespace varpage
