// The last row of the table: the client's host name, found by a reverse
// lookup of the address the web server hands over in REMOTE_ADDR.
#pragma once

#include "environment.h"
#include "output_stream.h"

namespace varpage {

// A client address as the resolver takes it: IPv4 or IPv6, in network byte
// order.
struct ClientAddress {
  enum class Family : unsigned char { kIpv4, kIpv6 };
  Family family;
  // IPv4 fills the first 4 bytes, IPv6 all 16.
  unsigned char bytes[16];

  static ClientAddress ipv4(const unsigned char (&bytes)[4]);
  // An IPv4-mapped address (::ffff:a.b.c.d) becomes the IPv4 address it
  // carries: dual-stack servers hand those over for IPv4 clients, whose names
  // hosts files and DNS keep under the IPv4 address.
  static ClientAddress ipv6(const unsigned char (&bytes)[16]);
};

// Room for the address part of numeric IPv6 text: at most 45 characters.
using Ipv6Text = char[64];

// Copies the address part of text that could be numeric IPv6 into `out`,
// without a zone ("fe80::1%eth0" gives "fe80::1": the name belongs to the
// address, and a zone names an interface of the server, not the client).
// False when the text cannot be one: the address part must hold a colon and
// only hexadecimal digits, colons and dots, with no leading zero in a dotted
// part. That keeps out what one platform's parser would accept and another's
// would not (brackets, ports, blanks, octal-looking parts), so both read the
// same texts as IPv6.
bool ipv6_address_part(const char* text, Ipv6Text& out);

// The address-to-name service, behind an interface so that tests can stand in
// for the resolver. This is the one place that knows about address families.
class HostLookup {
 public:
  // Numeric IPv6 text gives that address (or, when it is IPv4-mapped, the
  // IPv4 address it carries). Any other text is read as dotted IPv4, short
  // forms included, the way inet_addr reads it: text that is not an address
  // gives 255.255.255.255, and that address is then looked up too.
  virtual ClientAddress parse_address(const char* text) = 0;

  // The host's name, or nullptr when none is found; never the numeric address
  // in its place. The text stays valid until the next call on this lookup.
  virtual const char* host_name(const ClientAddress& address) = 0;

 protected:
  ~HostLookup() = default;
};

// The value of the first entry named REMOTE_ADDR in any mix of case, or
// nullptr. Servers differ on the case, and Windows matches names that way.
const char* find_remote_addr(EnvironmentList environment);

// The one lookup a response needs, made before any of it is written, its
// answer then handed to write_host_row when the table gets there. A
// resolver can take seconds to answer or give up; a process that dies
// meanwhile (killed, or given up on by the server) has then sent nothing,
// and the server reports an error instead of passing on a page that stops
// short yet could look whole. Any other address is passed to `lookup`.
class LookupAhead final : public HostLookup {
 public:
  LookupAhead(HostLookup& lookup, EnvironmentList environment);

  ClientAddress parse_address(const char* text) override;
  const char* host_name(const ClientAddress& address) override;

 private:
  HostLookup& lookup_;
  const char* address_text_ = nullptr;  // REMOTE_ADDR's value, when looked up
  ClientAddress address_{};
  const char* name_ = nullptr;
};

// Writes the host-name row, or nothing when REMOTE_ADDR is missing or empty or
// the lookup finds no name.
void write_host_row(OutputStream& out, EnvironmentList environment, HostLookup& lookup);

}  // namespace varpage
