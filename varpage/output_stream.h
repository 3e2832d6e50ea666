// The one path every byte of the response takes: a buffer in front of a
// byte sink that turns each LF into CR LF on the way out.
#pragma once

#include <cstddef>
#include <cstdlib>
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

// Holds the response back until it is complete, up to kHoldSize: a process
// that dies before the end (killed during a slow lookup, say) has then sent
// nothing, and the server reports an error instead of passing on a page that
// stops short yet looks whole. Only a longer response leaves before its end,
// in blocks of kHoldSize.
class OutputStream {
 public:
  explicit OutputStream(ByteSink& sink) : sink_(sink) {}
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  ~OutputStream() {
    flush();
    std::free(grown_);
  }

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

  // Sends what is held. Only the end of the response calls for it (the
  // stream does it as it goes out of scope); an earlier one would let part of
  // the response out ahead of the rest.
  void flush();

  // The buffer in the stream itself: large enough for a typical page, which
  // then costs no allocation.
  static constexpr std::size_t kBufferSize = 16384;
  // How much of a response is held back at the most. Memory beyond
  // kBufferSize is taken only as a response grows into it, so the many
  // workers of a FastCGI process pay for it only while they write large
  // pages.
  static constexpr std::size_t kHoldSize = 256 * 1024;

 private:
  const char* write_escaped_run(const char* text, const char* stop_bytes);
  void append(const char* data, std::size_t size);
  // Bytes that do not fit: the buffer grows for them or, once it holds all
  // it may, fills up and leaves, as often as it takes.
  void append_beyond_room(const char* data, std::size_t size);
  // Moves to a larger buffer, up to kHoldSize; false when the buffer is that
  // large already or memory runs out (what is held then leaves as it is).
  bool grow();

  ByteSink& sink_;
  char* data_ = buffer_;
  std::size_t capacity_ = kBufferSize;
  std::size_t used_ = 0;
  char* grown_ = nullptr;  // from malloc, once the response outgrows buffer_
  char buffer_[kBufferSize];
};

}  // namespace varpage
