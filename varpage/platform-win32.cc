#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <winsock.h>

#include <climits>
#include <cstring>

#include "platform.h"

namespace varpage {

bool start_platform() {
  // Text mode would turn each LF into CR LF a second time after the stream has
  // done so, and leave a CR already in the data next to a new one.
  _setmode(_fileno(stdout), _O_BINARY);
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void stop_platform() { WSACleanup(); }

// FastCGI is served on Linux; here the program is always a CGI program.
bool serve_fastcgi_if_listening() { return false; }

const char* const* process_environment() { return _environ; }

void StandardOutput::write(const char* data, std::size_t size) {
  while (size > 0) {
    const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
    const int written = _write(1, data, chunk);
    // Nobody is left to tell of a failure; the rest of this block is lost
    // and the run goes on.
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

Ipv4Address SystemHostLookup::parse_address(const char* text) {
  const unsigned long address = inet_addr(text);
  Ipv4Address result;
  static_assert(sizeof address == sizeof result.bytes);
  std::memcpy(result.bytes, &address, sizeof address);
  return result;
}

const char* SystemHostLookup::host_name(const Ipv4Address& address) {
  const hostent* host =
      gethostbyaddr(reinterpret_cast<const char*>(address.bytes), sizeof address.bytes, AF_INET);
  return host != nullptr ? host->h_name : nullptr;
}

}  // namespace varpage
