// The one path every byte of the response takes: a buffer in front of a
// byte sink that turns each LF into CR LF on the way out.
#pragma once

#include <cstddef>
#include <string_view>

namespace varpage {

// Where the buffered bytes end up. Writes report nothing: a response that
// cannot be delivered has nobody left to tell, so the page goes on regardless.
class ByteSink {
 public:
  virtual void write(const char* data, std::size_t size) = 0;

 protected:
  ~ByteSink() = default;
};

// A string literal with every LF already turned into CR LF, done when the
// program is compiled: the fixed parts of the page are then copied whole
// instead of being searched for line ends on every request.
template <std::size_t N>
struct WireLiteral {
  consteval WireLiteral(const char (&text)[N]) {
    for (std::size_t i = 0; i + 1 < N; ++i) {
      if (text[i] == '\n') bytes[size++] = '\r';
      bytes[size++] = text[i];
    }
  }
  char bytes[2 * N] = {};
  std::size_t size = 0;
};

// Sends the response in blocks of kBufferSize as it fills them. Nothing is
// held back for the sake of a process that dies mid-page: the response waits
// for nothing once it has begun (write_response finishes the reverse lookup
// before its first byte), so memory per request stays the same however large
// the page.
class OutputStream {
 public:
  explicit OutputStream(ByteSink& sink) : sink_(sink) {}
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  ~OutputStream() { flush(); }

  // Writes the text as it stands, LF going out as CR LF.
  void write(std::string_view text);

  template <std::size_t N>
  void write(const WireLiteral<N>& literal) {
    append(literal.bytes, literal.size);
  }

  // Writes a zero-terminated text with '&', '<' and '>' turned into their
  // entities and LF going out as CR LF.
  void write_escaped(const char* text);

  // Like write_escaped, but stops at the first '=' and returns a pointer to
  // it, or to the terminating zero when there is none.
  const char* write_escaped_until_equals(const char* text);

  // Sends what is buffered. Only the end of the response calls for it (the
  // stream does it as it goes out of scope): the last block then leaves with
  // whatever the sink adds to close the response.
  void flush();

  // The buffer in the stream itself: large enough for a typical page, which
  // then leaves in one write, and the most a request holds of its response
  // at any time.
  static constexpr std::size_t kBufferSize = 16384;

 private:
  const char* write_escaped_run(const char* text, const char* stop_bytes);
  void append(const char* data, std::size_t size);
  // Bytes that do not fit: the buffer fills up and leaves, as often as it
  // takes. Kept out of append, whose every call would otherwise pay for the
  // registers this loop needs.
  [[gnu::noinline]] void append_beyond_room(const char* data, std::size_t size);

  ByteSink& sink_;
  std::size_t used_ = 0;
  char buffer_[kBufferSize];
};

}  // namespace varpage
