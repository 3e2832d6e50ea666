#include "output_stream.h"

#include <cstring>

namespace varpage {

void OutputStream::write(std::string_view text) {
  const char* rest = text.data();
  const char* const end = rest + text.size();
  while (rest != end) {
    const void* found = std::memchr(rest, '\n', static_cast<std::size_t>(end - rest));
    const char* line_end = found ? static_cast<const char*>(found) : end;
    append(rest, static_cast<std::size_t>(line_end - rest));
    if (line_end == end) break;
    append("\r\n", 2);
    rest = line_end + 1;
  }
}

void OutputStream::write_escaped(const char* text) { write_escaped_run(text, "&<>\n"); }

const char* OutputStream::write_escaped_until_equals(const char* text) {
  return write_escaped_run(text, "&<>\n=");
}

// Plain bytes are the common case by far, so they are found in runs by the C
// library's search and copied in bulk; only the rare special byte is handled
// on its own.
const char* OutputStream::write_escaped_run(const char* text, const char* stop_bytes) {
  for (;;) {
    const std::size_t plain = std::strcspn(text, stop_bytes);
    append(text, plain);
    text += plain;
    switch (*text) {
      case '&':
        append("&amp;", 5);
        break;
      case '<':
        append("&lt;", 4);
        break;
      case '>':
        append("&gt;", 4);
        break;
      case '\n':
        append("\r\n", 2);
        break;
      default:  // the terminating zero, or '=' when the caller stops there
        return text;
    }
    ++text;
  }
}

// Kept this short so that the compiler copies it into the callers in this
// file: it runs for every piece of the page.
void OutputStream::append(const char* data, std::size_t size) {
  // (No sum of a size in memory and used_ wraps around.)
  if (used_ + size > kBufferSize) {
    append_beyond_room(data, size);
    return;
  }
  std::memcpy(buffer_ + used_, data, size);
  used_ += size;
}

void OutputStream::append_beyond_room(const char* data, std::size_t size) {
  while (size > kBufferSize - used_) {
    const std::size_t room = kBufferSize - used_;
    std::memcpy(buffer_ + used_, data, room);
    used_ = kBufferSize;
    flush();
    data += room;
    size -= room;
  }
  std::memcpy(buffer_ + used_, data, size);
  used_ += size;
}

void OutputStream::flush() {
  if (used_ == 0) return;
  sink_.write(buffer_, used_);
  used_ = 0;
}

}  // namespace varpage
