#include "fastcgi.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace varpage::fastcgi {
namespace {

constexpr unsigned char kVersion = 1;

// Record types.
constexpr unsigned kBeginRequest = 1;
constexpr unsigned kAbortRequest = 2;
constexpr unsigned kEndRequest = 3;
constexpr unsigned kParams = 4;
constexpr unsigned kStdin = 5;
constexpr unsigned kStdout = 6;
constexpr unsigned kGetValues = 9;
constexpr unsigned kGetValuesResult = 10;
constexpr unsigned kUnknownType = 11;
// Types a peer may send that mean nothing to a responder: its own replies
// echoed, FCGI_DATA (for filters) and the like are passed over quietly; only
// types outside the protocol are reported back.
constexpr unsigned kLastKnownType = kUnknownType;

constexpr unsigned kResponderRole = 1;
constexpr unsigned char kKeepConnection = 1;

// END_REQUEST protocol statuses.
constexpr unsigned char kRequestComplete = 0;
constexpr unsigned char kCantMultiplex = 1;
constexpr unsigned char kUnknownRole = 3;

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMaxContent = 65535;

struct Header {
  unsigned version;
  unsigned type;
  unsigned request_id;
  std::size_t content_length;
  std::size_t padding_length;
};

unsigned byte(const char* data, std::size_t i) { return static_cast<unsigned char>(data[i]); }

Header parse_header(const char* data) {
  return {byte(data, 0), byte(data, 1), byte(data, 2) << 8 | byte(data, 3),
          byte(data, 4) << 8 | byte(data, 5), byte(data, 6)};
}

void put_header(char* out, unsigned type, unsigned request_id, std::size_t content_length) {
  out[0] = kVersion;
  out[1] = static_cast<char>(type);
  out[2] = static_cast<char>(request_id >> 8);
  out[3] = static_cast<char>(request_id);
  out[4] = static_cast<char>(content_length >> 8);
  out[5] = static_cast<char>(content_length);
  out[6] = 0;
  out[7] = 0;
}

// Reads the connection in blocks rather than a record at a time.
class Reader {
 public:
  explicit Reader(Connection& connection) : connection_(connection) {}

  // Exactly `size` bytes into `out` (or dropped when `out` is null); false
  // when the connection ends first.
  bool read(char* out, std::size_t size) {
    while (size > 0) {
      if (begin_ == end_) {
        begin_ = 0;
        end_ = connection_.read(buffer_, sizeof buffer_);
        if (end_ == 0) return false;
      }
      const std::size_t n = size < end_ - begin_ ? size : end_ - begin_;
      if (out != nullptr) {
        std::memcpy(out, buffer_ + begin_, n);
        out += n;
      }
      begin_ += n;
      size -= n;
    }
    return true;
  }

  // Whether bytes that came with an earlier read are still to be taken.
  bool holds_bytes() const { return begin_ != end_; }

 private:
  Connection& connection_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  char buffer_[8192];
};

// Memory from malloc that only grows, kept from one request to the next.
// What all connections together hold of requests' parameters, at their
// largest: a worker keeps its buffers for its next request. Each byte of
// parameters brings a copy and up to four more of pointers with it, so this
// keeps the lot to about 150 MiB however many workers run.
constexpr std::size_t kMaxParamsInAll = 24 << 20;
std::atomic<std::size_t> params_in_all{0};

// A connection's share of kMaxParamsInAll, given back when it closes.
class ParamsBudget {
 public:
  ParamsBudget() = default;
  ParamsBudget(const ParamsBudget&) = delete;
  ParamsBudget& operator=(const ParamsBudget&) = delete;
  ~ParamsBudget() { params_in_all.fetch_sub(held_); }

  // Room for `size` bytes of parameters on this connection; false when the
  // process as a whole has none left.
  bool cover(std::size_t size) {
    if (size <= held_) return true;
    const std::size_t more = size - held_;
    if (params_in_all.fetch_add(more) + more > kMaxParamsInAll) {
      params_in_all.fetch_sub(more);
      return false;
    }
    held_ = size;
    return true;
  }

 private:
  std::size_t held_ = 0;
};

class Memory {
 public:
  Memory() = default;
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;
  ~Memory() { std::free(data_); }

  // At least `size` bytes, keeping what they held; nullptr when memory runs
  // out.
  char* get(std::size_t size) {
    if (size > capacity_) {
      const std::size_t capacity = size > 2 * capacity_ ? size : 2 * capacity_;
      void* grown = std::realloc(data_, capacity);
      if (grown == nullptr) return nullptr;
      data_ = static_cast<char*>(grown);
      capacity_ = capacity;
    }
    return data_;
  }

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// Name-value pairs: each length is one byte below 128, else four bytes with
// the top bit set. Calls `use(name, name_length, value, value_length)` for
// each pair; returns false when a length runs past the end.
bool read_length(const char*& rest, const char* end, std::size_t& length) {
  if (rest == end) return false;
  if (byte(rest, 0) < 0x80) {
    length = byte(rest, 0);
    rest += 1;
    return true;
  }
  if (end - rest < 4) return false;
  length = std::size_t{byte(rest, 0) & 0x7f} << 24 | byte(rest, 1) << 16 | byte(rest, 2) << 8 |
           byte(rest, 3);
  rest += 4;
  return true;
}

template <typename Use>
bool for_each_pair(const char* data, std::size_t size, Use use) {
  const char* rest = data;
  const char* const end = data + size;
  while (rest != end) {
    std::size_t name_length, value_length;
    if (!read_length(rest, end, name_length) || !read_length(rest, end, value_length)) {
      return false;
    }
    // Compared one at a time, so that two huge lengths cannot wrap around.
    const auto left = static_cast<std::size_t>(end - rest);
    if (name_length > left || value_length > left - name_length) return false;
    use(rest, name_length, rest + name_length, value_length);
    rest += name_length + value_length;
  }
  return true;
}

// The environment a CGI run would have had: "name=value" for every
// parameter, in the order they came, in memory the connection keeps.
class RequestEnvironment {
 public:
  // Returns the null-terminated block, or nullptr when the parameters are
  // malformed or memory runs out.
  const char* const* build(const char* params, std::size_t size) {
    // Every pair spends at least two bytes on its lengths, and its entry
    // needs just two more than its name and value ('=' and the terminating
    // zero), so the entries never take more room than the parameters did.
    // (One byte more, so that no parameters still give some memory.)
    char* text = text_.get(size + 1);
    auto** block =
        reinterpret_cast<const char**>(pointers_.get((size / 2 + 1) * sizeof(const char*)));
    if (text == nullptr || block == nullptr) return nullptr;
    std::size_t count = 0;
    const auto add = [&](const char* name, std::size_t name_length, const char* value,
                         std::size_t value_length) {
      // An entry is read up to its first zero byte, as an environment string
      // is. A name that begins with one would make an empty entry, which ends
      // the table: it is left out, as a name that begins with '=' is.
      if (name_length > 0 && name[0] == '\0') return;
      block[count++] = text;
      std::memcpy(text, name, name_length);
      text += name_length;
      *text++ = '=';
      std::memcpy(text, value, value_length);
      text += value_length;
      *text++ = '\0';
    };
    const bool well_formed = for_each_pair(params, size, add);
    if (!well_formed) return nullptr;
    block[count] = nullptr;
    return block;
  }

 private:
  Memory text_;
  Memory pointers_;
};

// The records that close a response: the end of the STDOUT stream, then
// END_REQUEST.
struct ResponseEnd {
  explicit ResponseEnd(unsigned request_id) {
    put_header(bytes, kStdout, request_id, 0);
    put_header(bytes + kHeaderSize, kEndRequest, request_id, kHeaderSize);
    // Application status 0, then the protocol status.
    bytes[2 * kHeaderSize + 4] = kRequestComplete;
  }
  char bytes[3 * kHeaderSize] = {};
};

// The response's bytes, as STDOUT records of one request. The records that
// close it go out with its last bytes, in the same system call.
class RecordSink final : public ByteSink {
 public:
  RecordSink(Connection& connection, unsigned request_id)
      : connection_(connection), request_id_(request_id), end_(request_id) {}

  void write(const char* data, std::size_t size) override {
    while (size > 0 && !broken_) {
      const std::size_t chunk = size < kMaxContent ? size : kMaxContent;
      char header[kHeaderSize];
      put_header(header, kStdout, request_id_, chunk);
      const bool last = ending_ && chunk == size;
      broken_ = !connection_.write({{header, sizeof header},
                                    {data, chunk},
                                    last ? std::string_view(end_.bytes, sizeof end_.bytes) : ""});
      ended_ = last && !broken_;
      data += chunk;
      size -= chunk;
    }
  }

  // The next write holds the response's last bytes.
  void end_with_next_write() { ending_ = true; }

  // Closes the response unless its last write did. Returns false when the
  // connection broke, at any time: the response is then not complete.
  bool finish() {
    if (broken_) return false;
    return ended_ || connection_.write({{end_.bytes, sizeof end_.bytes}});
  }

 private:
  Connection& connection_;
  const unsigned request_id_;
  const ResponseEnd end_;
  bool ending_ = false;
  bool ended_ = false;
  bool broken_ = false;
};

bool end_request(Connection& connection, unsigned request_id, unsigned char status) {
  char record[2 * kHeaderSize] = {};
  put_header(record, kEndRequest, request_id, kHeaderSize);
  // Application status 0 in the first four bytes of the body.
  record[kHeaderSize + 4] = static_cast<char>(status);
  return connection.write({{record, sizeof record}});
}

// Answers FCGI_GET_VALUES for the three variables the protocol defines,
// leaving out any other name, as a peer expects.
bool answer_get_values(Connection& connection, const char* content, std::size_t size,
                       unsigned concurrency) {
  char answer[256];
  std::size_t used = kHeaderSize;
  char number[16];
  const std::size_t number_length =
      static_cast<std::size_t>(std::snprintf(number, sizeof number, "%u", concurrency));
  const auto add = [&](std::string_view name, std::string_view value) {
    if (used + 2 + name.size() + value.size() > sizeof answer) return;
    answer[used++] = static_cast<char>(name.size());
    answer[used++] = static_cast<char>(value.size());
    std::memcpy(answer + used, name.data(), name.size());
    used += name.size();
    std::memcpy(answer + used, value.data(), value.size());
    used += value.size();
  };
  const bool well_formed = for_each_pair(
      content, size, [&](const char* name, std::size_t name_length, const char*, std::size_t) {
        const std::string_view asked(name, name_length);
        if (asked == "FCGI_MAX_CONNS" || asked == "FCGI_MAX_REQS") {
          add(asked, std::string_view(number, number_length));
        } else if (asked == "FCGI_MPXS_CONNS") {
          add(asked, "0");
        }
      });
  if (!well_formed) {
    connection.protocol_error("protocol error: a length past the end of GET_VALUES");
    return false;
  }
  put_header(answer, kGetValuesResult, 0, used - kHeaderSize);
  return connection.write({{answer, used}});
}

bool answer_unknown_type(Connection& connection, unsigned type) {
  char record[2 * kHeaderSize] = {};
  put_header(record, kUnknownType, 0, kHeaderSize);
  record[kHeaderSize] = static_cast<char>(type);
  return connection.write({{record, sizeof record}});
}

}  // namespace

void serve_connection(Connection& connection, Responder& responder, unsigned concurrency) {
  Reader reader(connection);
  RequestEnvironment request_environment;
  Memory params;
  ParamsBudget budget;
  char content[kMaxContent];

  // The request being received (0: none), and how far it has come.
  unsigned request_id = 0;
  bool keep_connection = false;
  std::size_t params_size = 0;
  bool params_done = false;
  bool stdin_done = false;

  for (;;) {
    if (request_id == 0 && !reader.holds_bytes()) connection.between_requests();
    char head[kHeaderSize];
    if (!reader.read(head, sizeof head)) return;
    const Header header = parse_header(head);
    if (header.version != kVersion) {
      connection.protocol_error("protocol error: a record of another FastCGI version");
      return;
    }
    if (!reader.read(content, header.content_length) ||
        !reader.read(nullptr, header.padding_length)) {
      return;
    }
    const bool current = request_id != 0 && header.request_id == request_id;

    switch (header.type) {
      case kBeginRequest: {
        if (header.request_id == 0 || header.content_length < 8) {
          connection.protocol_error("protocol error: a malformed BEGIN_REQUEST");
          return;
        }
        if (request_id != 0) {
          // One request at a time on a connection, as GET_VALUES says.
          if (current) {
            connection.protocol_error("protocol error: BEGIN_REQUEST for a request in progress");
            return;
          }
          if (!end_request(connection, header.request_id, kCantMultiplex)) return;
          continue;
        }
        const unsigned role = byte(content, 0) << 8 | byte(content, 1);
        const bool keep = (byte(content, 2) & kKeepConnection) != 0;
        if (role != kResponderRole) {
          if (!end_request(connection, header.request_id, kUnknownRole) || !keep) return;
          continue;
        }
        request_id = header.request_id;
        keep_connection = keep;
        params_size = 0;
        params_done = stdin_done = false;
        continue;
      }
      case kAbortRequest:
        if (!current) continue;
        request_id = 0;
        if (!end_request(connection, header.request_id, kRequestComplete) || !keep_connection) {
          return;
        }
        connection.request_done();
        continue;
      case kParams:
        if (!current || params_done) continue;
        if (header.content_length == 0) {
          params_done = true;
          break;
        }
        if (header.content_length > kMaxParamsSize - params_size ||
            !budget.cover(params_size + header.content_length)) {
          return;
        }
        {
          char* stream = params.get(params_size + header.content_length);
          if (stream == nullptr) return;
          std::memcpy(stream + params_size, content, header.content_length);
          params_size += header.content_length;
        }
        continue;
      case kStdin:
        // The body is no part of the page; it is read only to keep the
        // connection in step, and dropped.
        if (!current || stdin_done) continue;
        if (header.content_length == 0) stdin_done = true;
        break;
      case kGetValues:
        if (header.request_id != 0) continue;
        if (!answer_get_values(connection, content, header.content_length, concurrency)) return;
        continue;
      default:
        if (header.request_id == 0 && header.type > kLastKnownType &&
            !answer_unknown_type(connection, header.type)) {
          return;
        }
        continue;
    }

    // Both streams are in: the request is answered.
    if (!params_done || !stdin_done) continue;
    const char* const* block = request_environment.build(params.get(params_size), params_size);
    if (block == nullptr) {
      connection.protocol_error("protocol error: a length past the end of the parameters");
      return;
    }
    const EnvironmentSnapshot environment(block);
    RecordSink sink(connection, request_id);
    {
      OutputStream out(sink);
      responder.respond(out, environment.entries());
      // What is still buffered leaves as the stream goes out of scope, with
      // the records that mark the response complete.
      sink.end_with_next_write();
    }
    if (!sink.finish()) return;
    request_id = 0;
    // Counted as served whether or not the connection is kept: most web
    // servers ask once a connection.
    connection.request_done();
    if (!keep_connection) return;
  }
}

}  // namespace varpage::fastcgi
