// libFuzzer target over the FastCGI connection: record reading, the request
// environment made of PARAMS, and the records written back. Input: one byte
// of options (the low four bits: how many bytes each read returns, less one;
// bit 4: writes fail after the first 2,000 bytes, as when a peer hangs up),
// then the bytes the peer sends.
//
// The oracle: what goes back parses as whole records; every request that got
// a page ends with an empty STDOUT record and END_REQUEST, none without its
// page, none after a failed write; every environment entry is non-empty,
// does not begin with '=', and is name=value of a name and value that stand
// side by side in the contents of the input's PARAMS records.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "fastcgi.h"
#include "page.h"
#include "test_support.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

class FuzzedConnection final : public varpage::fastcgi::Connection {
 public:
  FuzzedConnection(std::string_view input, std::size_t step, bool fail_writes)
      : input_(input), step_(step), fail_writes_(fail_writes) {}

  std::size_t read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, step_, input_.size()});
    std::memcpy(buffer, input_.data(), n);
    input_.remove_prefix(n);
    return n;
  }
  bool write(std::initializer_list<std::string_view> pieces) override {
    check(!failed);  // nothing is written after a failed write
    check(pieces.size() <= 3);
    std::size_t size = 0;
    for (const std::string_view piece : pieces) size += piece.size();
    if (fail_writes_ && output.size() + size > 2000) {
      failed = true;
      return false;
    }
    for (const std::string_view piece : pieces) output += piece;
    return true;
  }

  std::string output;
  bool failed = false;

 private:
  std::string_view input_;
  const std::size_t step_;
  const bool fail_writes_;
};

// The PARAMS streams of the input: for each request id, the contents of its
// PARAMS records one after another. A request's parameters are a run of one
// of them.
std::map<unsigned, std::string> params_streams(std::string_view input) {
  std::map<unsigned, std::string> streams;
  while (input.size() >= 8 && input[0] == 1) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(input[i]); };
    const std::size_t length = byte(4) << 8 | byte(5);
    if (byte(1) == 4) streams[byte(2) << 8 | byte(3)] += input.substr(8, length);
    input.remove_prefix(std::min(input.size(), 8 + length + byte(6)));
  }
  return streams;
}

class CheckingResponder final : public varpage::fastcgi::Responder {
 public:
  explicit CheckingResponder(std::string_view input) : streams_(params_streams(input)) {}
  void respond(varpage::OutputStream& out, varpage::EnvironmentList environment) override {
    ++pages;
    for (const char* entry : environment) {
      const std::string_view text(entry);
      check(!text.empty() && text[0] != '=');
      // The name and value stand side by side in a stream, without the '='
      // the entry puts between them (and names may hold '=' of their own); a
      // zero byte in a name ends the entry early, '=' and all.
      bool found = in_streams(text);
      for (std::size_t equals = text.find('='); !found && equals != std::string_view::npos;
           equals = text.find('=', equals + 1)) {
        found =
            in_streams(std::string(text.substr(0, equals)) + std::string(text.substr(equals + 1)));
      }
      check(found);
    }
    varpage::write_page(out, environment, "Thu, 01 Jan 1970 00:01:00 GMT", lookup_);
  }
  int pages = 0;

 private:
  bool in_streams(std::string_view text) const {
    for (const auto& [id, stream] : streams_) {
      if (stream.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::map<unsigned, std::string> streams_;
  varpage::testing::FakeLookup lookup_{{{"127.0.0.1", "localhost"}}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  FuzzedConnection connection(input, (data[0] & 15) + 1, (data[0] & 16) != 0);
  CheckingResponder responder(input);
  varpage::fastcgi::serve_connection(connection, responder, 16);

  // Walk the records written back.
  const std::string_view out = connection.output;
  std::size_t at = 0;
  int stdout_ends = 0, completed = 0;
  bool page_open = false;
  unsigned page_id = 0;
  while (at < out.size()) {
    check(out.size() - at >= 8);
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(out[at + i]); };
    check(byte(0) == 1);
    const unsigned type = byte(1), id = byte(2) << 8 | byte(3);
    const std::size_t length = byte(4) << 8 | byte(5);
    check(out.size() - at >= 8 + length + byte(6));
    if (type == 6) {
      check(!page_open || id == page_id);
      page_open = true;
      page_id = id;
      if (length == 0) ++stdout_ends;
    } else if (type == 3) {
      check(length == 8);
      // A request that got a page ends only after its STDOUT stream did.
      if (page_open) {
        check(id == page_id && stdout_ends == completed + 1);
        ++completed;
        page_open = false;
      }
    } else {
      check(type == 10 || type == 11);
    }
    at += 8 + length + byte(6);
  }
  // Every page handed over whole was marked complete; a write that failed
  // leaves its page unmarked.
  if (!connection.failed) check(completed == responder.pages && !page_open);
  check(completed <= responder.pages);
  return 0;
}
