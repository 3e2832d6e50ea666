#include "host_row.h"

#include <cstring>

namespace varpage {
namespace {

constexpr char kRemoteAddr[] = "REMOTE_ADDR";
constexpr std::size_t kRemoteAddrLength = sizeof kRemoteAddr - 1;

constexpr WireLiteral kRowStart =
    "\t<tr>\n\t\t<td>\n\t\t\tHostName from IPaddr\n\t\t</td>\n\t\t<td>\n\t\t\t";
constexpr WireLiteral kRowEnd = "\n\t\t</td>\n\t</tr>\n";

// REMOTE_ADDR's letters in lower case. Setting bit 5 (0x20) of a byte gives
// a lower-case ASCII letter only from that letter in either case, so each
// letter is matched in any case with one OR and one comparison: the search
// runs twice a response (once for the lookup made ahead, once for the row).
constexpr char kRemoteAddrLower[] = "remote_addr";

bool names_remote_addr(const char* entry) {
  for (std::size_t i = 0; i < kRemoteAddrLength; ++i) {
    // A shorter entry fails here on its terminating zero.
    const char wanted = kRemoteAddrLower[i];
    const char c = entry[i];
    if (wanted == '_' ? c != '_' : static_cast<char>(c | 0x20) != wanted) return false;
  }
  return entry[kRemoteAddrLength] == '=';
}

}  // namespace

ClientAddress ClientAddress::ipv4(const unsigned char (&bytes)[4]) {
  ClientAddress address{Family::kIpv4, {}};
  std::memcpy(address.bytes, bytes, sizeof bytes);
  return address;
}

ClientAddress ClientAddress::ipv6(const unsigned char (&bytes)[16]) {
  constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    return ipv4({bytes[12], bytes[13], bytes[14], bytes[15]});
  }
  ClientAddress address{Family::kIpv6, {}};
  std::memcpy(address.bytes, bytes, sizeof bytes);
  return address;
}

bool ipv6_address_part(const char* text, Ipv6Text& out) {
  std::size_t length = 0;
  std::size_t tail = 0;  // where the part after the last colon starts
  for (; text[length] != '\0' && text[length] != '%'; ++length) {
    const char c = text[length];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if ((!hex && c != ':' && c != '.') || length + 1 >= sizeof out) return false;
    if (c == ':') tail = length + 1;
    out[length] = c;
  }
  out[length] = '\0';
  if (tail == 0) return false;
  // A dotted IPv4 tail: no part may start with a zero and go on.
  if (std::strchr(out + tail, '.') != nullptr) {
    for (const char* part = out + tail; part != nullptr; part = std::strchr(part, '.')) {
      if (*part == '.') ++part;
      if (part[0] == '0' && part[1] >= '0' && part[1] <= '9') return false;
    }
  }
  return true;
}

const char* find_remote_addr(EnvironmentList environment) {
  // Unlike the table, the search runs past empty entries to the end.
  for (const char* entry : environment) {
    if (names_remote_addr(entry)) return entry + kRemoteAddrLength + 1;
  }
  return nullptr;
}

LookupAhead::LookupAhead(HostLookup& lookup, EnvironmentList environment) : lookup_(lookup) {
  const char* address_text = find_remote_addr(environment);
  if (address_text == nullptr || *address_text == '\0') return;
  address_text_ = address_text;
  address_ = lookup.parse_address(address_text);
  name_ = lookup.host_name(address_);
}

ClientAddress LookupAhead::parse_address(const char* text) {
  return text == address_text_ ? address_ : lookup_.parse_address(text);
}

const char* LookupAhead::host_name(const ClientAddress& address) {
  if (address_text_ != nullptr && address.family == address_.family &&
      std::memcmp(address.bytes, address_.bytes, sizeof address.bytes) == 0) {
    return name_;
  }
  return lookup_.host_name(address);
}

void write_host_row(OutputStream& out, EnvironmentList environment, HostLookup& lookup) {
  const char* address_text = find_remote_addr(environment);
  if (address_text == nullptr || *address_text == '\0') return;

  // Behind write_response, the answer of a LookupAhead, found before the
  // first byte of the response was written.
  const char* name = lookup.host_name(lookup.parse_address(address_text));
  if (name == nullptr) return;

  out.write(kRowStart);
  // Whoever controls the client's reverse zone chooses this name, so it is
  // escaped like any other data.
  out.write_escaped(name);
  out.write(kRowEnd);
}

}  // namespace varpage
