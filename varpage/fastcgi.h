// FastCGI, the protocol by which a web server hands requests to a program that
// stays running: the records on one connection, turned into the environment
// a CGI run would have had, and the response sent back as records.
//
// Nothing here touches sockets or threads (fastcgi_server-posix.cc does), so
// the tests and the fuzzer can drive a connection with exact bytes.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "environment.h"
#include "output_stream.h"

namespace varpage::fastcgi {

// One connection from a web server.
class Connection {
 public:
  // Reads up to `size` bytes; returns how many, or 0 when the peer has hung
  // up, the connection broke or it stayed silent too long.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;

  // Writes the pieces (at most three) one after another, whole; empty ones
  // are passed over. Returns false when the connection broke; nothing more
  // should then be written.
  virtual bool write(std::initializer_list<std::string_view> pieces) = 0;

  // A request has been answered or aborted: a connection that limits how
  // long a request may take starts counting again for the next.
  virtual void request_done() {}

  // A response has gone out whole: one more request served.
  virtual void response_sent() {}

  // Told before the first byte of each request (and of each record outside
  // one) is read, unless that byte came with an earlier read: the connection
  // is between requests, where a process that stops may end it (its reads
  // then give 0) without cutting one short.
  virtual void between_requests() {}

  // The peer broke the protocol (`reason` says how, a string literal); the
  // connection ends next. Worth a line in the log: a web server that does
  // this is misconfigured, or not a web server.
  virtual void protocol_error(const char* /*reason*/) {}

  // The process holds all the parameters it may (kMaxParamsInAll) and the
  // request being received needs room for more: pauses a moment without
  // reading (what the peer sends waits in the connection) while other
  // requests finish, then says whether to see again. False once the request
  // may wait no longer: it is then answered 503.
  virtual bool wait_for_room() { return false; }

  // Why a request is answered 503 instead of with its page.
  enum class Refusal : unsigned char {
    kNoRoom,     // no room came for its parameters while it could wait
    kOverLimit,  // its own parameters pass kMaxParamsSize
  };

  // The one place told of each 503, as its records are about to be written.
  virtual void refused(Refusal why) { static_cast<void>(why); }

 protected:
  ~Connection() = default;
};

// Writes the whole CGI response (header and document) for one request.
class Responder {
 public:
  virtual void respond(OutputStream& out, EnvironmentList environment) = 0;

 protected:
  ~Responder() = default;
};

// The most parameter bytes one request may send, as they come on the wire.
// Linux caps a CGI program's arguments and environment together at about
// 2 MiB, so no request that a CGI run could show is refused; one that sends
// more is answered 503 (its parameters read and dropped) rather than let it
// fill the memory.
inline constexpr std::size_t kMaxParamsSize = 2 * 1024 * 1024;

// What all connections together hold of requests' parameters, at their
// largest: a worker keeps its buffers for its next request. Each byte of
// parameters brings a copy and up to four more of pointers with it, so this
// keeps the lot to about 150 MiB however many workers run. A request that
// would pass it waits for room (Connection::wait_for_room).
inline constexpr std::size_t kMaxParamsInAll = 24 << 20;

// The most parameter bytes a kept connection holds on to between requests
// (with their copy and pointers, as above): a request's typical few KiB,
// not the largest it has seen. So the budget is never filled by idle
// connections (512 of them hold 8 MiB of it at most), and requests in
// progress always have most of it.
inline constexpr std::size_t kKeptParamsSize = 16 * 1024;

// The whole response to a request that is refused (Connection::refused),
// as CGI output: what the STDOUT records carry, with CR LF line ends.
inline constexpr std::string_view kRefusedResponse =
    "Status: 503 Service Unavailable\r\n"
    "Retry-After: 5\r\n"
    "Content-type: text/plain\r\n"
    "\r\n"
    "Too busy to take this request now: please try again in a few seconds.\r\n";

// Serves the requests that arrive on `connection`, one at a time, until the
// peer closes it, asks for it to be closed, breaks the protocol or the
// connection fails. Each request's environment is made of its parameters
// alone, in the order they came; its body is read and thrown away. A
// request refused for its parameters (over kMaxParamsSize, or no room for
// them in the process) is read to its end all the same and answered
// kRefusedResponse. A response is marked complete (END_REQUEST) only once
// all of it has been written. `concurrency` is how many requests the
// process serves at once, reported to a peer that asks.
void serve_connection(Connection& connection, Responder& responder, unsigned concurrency);

}  // namespace varpage::fastcgi
