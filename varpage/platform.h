// What differs between the platforms the program runs on: getting the process
// ready, its environment, standard output and the resolver. Each platform has
// its own implementation file; the page code sees only this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "host_row.h"
#include "output_stream.h"

namespace varpage {

// Prepares the process for one response. Returns false when that cannot be
// done; the program then ends without writing anything.
bool start_platform();

// Releases what start_platform took.
void stop_platform();

// The system clock in whole seconds since 1970-01-01 00:00:00 UTC. 64 bits
// on every platform, whatever the width of its time_t (32 bits for the 32-bit
// Windows runtime), so dates after 2038-01-19 come out right.
std::int64_t clock_seconds();

// FastCGI mode. When standard input is a listening socket, the way web
// servers, spawn-fcgi and systemd hand one to a FastCGI program, serves
// FastCGI requests from it until the process is stopped or the socket
// fails, sets `exit_status` and returns true. Otherwise returns false at
// once: the program is then a CGI program. Windows builds are CGI programs
// only.
bool serve_fastcgi_if_listening(int& exit_status);

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
  SystemHostLookup() = default;
  SystemHostLookup(const SystemHostLookup&) = delete;
  SystemHostLookup& operator=(const SystemHostLookup&) = delete;
  ~SystemHostLookup() { std::free(name_); }

  ClientAddress parse_address(const char* text) override;
  const char* host_name(const ClientAddress& address) override;

 private:
  // Makes room for a name of `size` bytes; false when memory runs out.
  bool reserve(std::size_t size) {
    if (size <= capacity_) return true;
    char* grown = static_cast<char*>(std::realloc(name_, size));
    if (grown == nullptr) return false;
    name_ = grown;
    capacity_ = size;
    return true;
  }

  // Where getnameinfo writes the name. Plain malloc memory: std::string
  // would bring the C++ runtime's allocator and unwinder into the program.
  char* name_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace varpage
