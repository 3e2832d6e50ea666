#include "host_row.h"

namespace varpage {
namespace {

constexpr char kRemoteAddr[] = "REMOTE_ADDR";
constexpr std::size_t kRemoteAddrLength = sizeof kRemoteAddr - 1;

constexpr WireLiteral kRowStart =
    "\t<tr>\n\t\t<td>\n\t\t\tHostName from IPaddr\n\t\t</td>\n\t\t<td>\n\t\t\t";
constexpr WireLiteral kRowEnd = "\n\t\t</td>\n\t</tr>\n";

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool names_remote_addr(const char* entry) {
  for (std::size_t i = 0; i < kRemoteAddrLength; ++i) {
    // A shorter entry fails here on its terminating zero.
    if (ascii_upper(entry[i]) != kRemoteAddr[i]) return false;
  }
  return entry[kRemoteAddrLength] == '=';
}

}  // namespace

const char* find_remote_addr(EnvironmentList environment) {
  // Unlike the table, the search runs past empty entries to the end.
  for (const char* entry : environment) {
    if (names_remote_addr(entry)) return entry + kRemoteAddrLength + 1;
  }
  return nullptr;
}

void write_host_row(OutputStream& out, EnvironmentList environment, HostLookup& lookup) {
  const char* address_text = find_remote_addr(environment);
  if (address_text == nullptr || *address_text == '\0') return;

  // A resolver can take seconds to answer or give up; let the client have the
  // table in the meantime.
  out.flush();
  const char* name = lookup.host_name(lookup.parse_address(address_text));
  if (name == nullptr) return;

  out.write(kRowStart);
  // Whoever controls the client's reverse zone chooses this name, so it is
  // escaped like any other data.
  out.write_escaped(name);
  out.write(kRowEnd);
}

}  // namespace varpage
