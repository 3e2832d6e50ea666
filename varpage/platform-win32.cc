#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

#include "file_time.h"
#include "platform.h"

namespace varpage {

bool start_platform() {
  // Text mode would turn each LF into CR LF a second time after the stream has
  // done so, and leave a CR already in the data next to a new one.
  _setmode(_fileno(stdout), _O_BINARY);
  // Version 1.1 is all the program asks for; ws2_32 grants it and still
  // offers its IPv6 calls.
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void stop_platform() { WSACleanup(); }

std::int64_t clock_seconds() {
  // Not time() or std::chrono: the 32-bit runtime's time_t is 32 bits wide
  // and wraps to 1901 after 2038-01-19 03:14:07.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return seconds_since_1970((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                            now.dwLowDateTime);
}

// FastCGI is served on Linux; here the program is always a CGI program.
bool serve_fastcgi_if_listening(int& /*exit_status*/) { return false; }

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

ClientAddress SystemHostLookup::parse_address(const char* text) {
  Ipv6Text address_part;  // writable, as WSAStringToAddressA wants it
  if (ipv6_address_part(text, address_part)) {
    sockaddr_in6 ipv6{};
    INT size = sizeof ipv6;
    if (WSAStringToAddressA(address_part, AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&ipv6),
                            &size) == 0) {
      unsigned char bytes[16];
      static_assert(sizeof ipv6.sin6_addr == sizeof bytes);
      std::memcpy(bytes, &ipv6.sin6_addr, sizeof bytes);
      return ClientAddress::ipv6(bytes);
    }
  }
  const unsigned long address = inet_addr(text);
  unsigned char ipv4[4];
  static_assert(sizeof address == sizeof ipv4);
  std::memcpy(ipv4, &address, sizeof address);
  return ClientAddress::ipv4(ipv4);
}

const char* SystemHostLookup::host_name(const ClientAddress& address) {
  if (address.family == ClientAddress::Family::kIpv4) {
    // As it always was; ws2_32 keeps the record per thread.
    const hostent* host = gethostbyaddr(reinterpret_cast<const char*>(address.bytes), 4, AF_INET);
    return host != nullptr ? host->h_name : nullptr;
  }
  // gethostbyaddr knows IPv4 only. NI_NAMEREQD turns "no name" into a
  // failure instead of the numeric address.
  sockaddr_in6 ipv6{};
  ipv6.sin6_family = AF_INET6;
  std::memcpy(&ipv6.sin6_addr, address.bytes, sizeof ipv6.sin6_addr);
  if (!reserve(NI_MAXHOST)) return nullptr;
  const int result = getnameinfo(reinterpret_cast<const sockaddr*>(&ipv6), sizeof ipv6, name_,
                                 NI_MAXHOST, nullptr, 0, NI_NAMEREQD);
  return result == 0 ? name_ : nullptr;
}

}  // namespace varpage
