// The last row of the table: the client's host name, found by a reverse
// lookup of the address the web server hands over in REMOTE_ADDR.
#pragma once

#include "environment.h"
#include "output_stream.h"

namespace varpage {

// An IPv4 address in network byte order.
struct Ipv4Address {
  unsigned char bytes[4];
};

// The address-to-name service, behind an interface so that tests can stand in
// for the resolver.
class HostLookup {
 public:
  // Reads dotted IPv4 text. Text that is not an address gives
  // 255.255.255.255, as inet_addr does; that address is then looked up too.
  virtual Ipv4Address parse_address(const char* text) = 0;

  // The host's official name, or nullptr when none is found. The text stays
  // valid until the next call on this lookup.
  virtual const char* host_name(const Ipv4Address& address) = 0;

 protected:
  ~HostLookup() = default;
};

// The value of the first entry named REMOTE_ADDR in any mix of case, or
// nullptr. Servers differ on the case, and Windows matches names that way.
const char* find_remote_addr(EnvironmentList environment);

// Writes the host-name row, or nothing when REMOTE_ADDR is missing or empty or
// the lookup finds no name.
void write_host_row(OutputStream& out, EnvironmentList environment, HostLookup& lookup);

}  // namespace varpage
