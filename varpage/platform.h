// What differs between the platforms the program runs on: getting the process
// ready, its environment, standard output and the resolver. Each platform has
// its own implementation file; the page code sees only this.
#pragma once

#include <cstddef>

#include "host_row.h"
#include "output_stream.h"

namespace varpage {

// Prepares the process for one response. Returns false when that cannot be
// done; the program then ends without writing anything.
bool start_platform();

// Releases what start_platform took.
void stop_platform();

// FastCGI mode. When standard input is a listening socket, the way web
// servers, spawn-fcgi and systemd hand one to a FastCGI program, serves
// FastCGI requests from it until the socket fails, and returns true.
// Otherwise returns false at once: the program is then a CGI program.
// Windows builds are CGI programs only.
bool serve_fastcgi_if_listening();

// The environment block the process was started with, null-terminated.
const char* const* process_environment();

// Standard output, unbuffered; OutputStream does the buffering. Bytes pass
// unchanged: line ends are the stream's business on every platform.
class StandardOutput final : public ByteSink {
 public:
  void write(const char* data, std::size_t size) override;
};

// The platform's own resolver.
class SystemHostLookup final : public HostLookup {
 public:
  Ipv4Address parse_address(const char* text) override;
  const char* host_name(const Ipv4Address& address) override;
};

}  // namespace varpage
