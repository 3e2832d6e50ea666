#include "page.h"

namespace varpage {
namespace {

constexpr WireLiteral kDocumentStart =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n"
    "<html>\n"
    "<head>\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html\" />\n"
    "<meta http-equiv=\"Pragma\" content=\"no-cache\" />\n"
    "<meta http-equiv=\"Expires\" content=\"";
constexpr WireLiteral kTableStart =
    "\" />\n"
    "<title>Environment Variable List</title>\n"
    "</head>\n"
    "<body>\n"
    "<h1>Environment Variable List</h1>\n"
    "<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\" cols=\"2\" frame=\"hsides\" "
    "rules=\"rows\">\n"
    "<colgroup span=\"2\">\n\t<col />\n\t<col />\n</colgroup>\n"
    "<thead>\n\t<tr>\n"
    "\t\t<th>environment variable name</th>\n"
    "\t\t<th>environment variable value</th>\n"
    "\t</tr>\n</thead>\n"
    "<tbody>\n";
constexpr WireLiteral kRowStart = "\t<tr>\n\t\t<td>";
constexpr WireLiteral kNextCell = "</td>\n\t\t<td>";
constexpr WireLiteral kRowEnd = "</td>\n\t</tr>\n";
constexpr WireLiteral kDocumentEnd = "</tbody>\n</table>\n</body>\n</html>";

void write_entry_row(OutputStream& out, const char* entry) {
  out.write(kRowStart);
  // The first byte belongs to the name even when it is '=': Windows names
  // such as "=C:" start that way.
  const char first_byte[2] = {entry[0], '\0'};
  out.write_escaped(first_byte);
  const char* separator = out.write_escaped_until_equals(entry + 1);
  if (*separator == '=') {
    out.write(kNextCell);
    out.write_escaped(separator + 1);
  }
  out.write(kRowEnd);
}

}  // namespace

void write_page(OutputStream& out, EnvironmentList environment, const char* expires,
                HostLookup& lookup) {
  out.write(kDocumentStart);
  out.write(expires);
  out.write(kTableStart);

  // An empty entry ends the listing: what follows it is left out.
  for (const char* entry : environment) {
    if (entry[0] == '\0') break;
    write_entry_row(out, entry);
  }

  write_host_row(out, environment, lookup);

  out.write(kDocumentEnd);
}

}  // namespace varpage
