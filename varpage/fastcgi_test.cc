#include "fastcgi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "response.h"
#include "test_support.h"

namespace varpage::fastcgi {
namespace {

using testing::expected_head;
using testing::FakeLookup;
using testing::host_name_row;
using testing::kExpectedTail;
using testing::two_cells;

// Records as a web server would send them.
std::string record(unsigned type, unsigned id, const std::string& content,
                   unsigned char padding = 0) {
  std::string out = {1,
                     static_cast<char>(type),
                     static_cast<char>(id >> 8),
                     static_cast<char>(id),
                     static_cast<char>(content.size() >> 8),
                     static_cast<char>(content.size()),
                     static_cast<char>(padding),
                     0};
  return out + content + std::string(padding, '\0');
}
std::string begin(unsigned id, bool keep = false, unsigned role = 1) {
  return record(1, id, {0, static_cast<char>(role), static_cast<char>(keep), 0, 0, 0, 0, 0});
}
std::string length(std::size_t n, bool long_form = false) {
  if (n < 128 && !long_form) return std::string(1, static_cast<char>(n));
  return {static_cast<char>(n >> 24 | 0x80), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}
std::string pair(const std::string& name, const std::string& value) {
  return length(name.size()) + length(value.size()) + name + value;
}
// The stream in records of at most 65535 bytes, then its end.
std::string params(unsigned id, const std::string& pairs) {
  std::string out;
  for (std::size_t at = 0; at < pairs.size(); at += 65535)
    out += record(4, id, pairs.substr(at, 65535));
  return out + record(4, id, "");
}
std::string request(unsigned id, const std::string& pairs, bool keep = false,
                    const std::string& body = "") {
  return begin(id, keep) + params(id, pairs) + (body.empty() ? "" : record(5, id, body)) +
         record(5, id, "");
}
std::string end_request(unsigned id, unsigned char status = 0) {
  return record(3, id, {0, 0, 0, 0, static_cast<char>(status), 0, 0, 0});
}

// Feeds the input a few bytes at a time, so records arrive cut anywhere;
// keeps every write; can fail writes after a number of bytes, as a peer that
// hangs up does.
class FakeConnection final : public Connection {
 public:
  explicit FakeConnection(std::string input, std::size_t step = 3)
      : input_(std::move(input)), step_(step) {}

  std::size_t read(char* buffer, std::size_t size) override {
    std::size_t n = std::min({size, step_, input_.size() - offset_});
    std::memcpy(buffer, input_.data() + offset_, n);
    offset_ += n;
    return n;
  }
  bool write(std::initializer_list<std::string_view> pieces) override {
    EXPECT_LE(pieces.size(), 3u);
    std::string bytes;
    for (const std::string_view piece : pieces) bytes += piece;
    if (output.size() + bytes.size() > write_limit) return false;
    output += bytes;
    writes.push_back(bytes);
    return true;
  }
  void response_sent() override { ++responses_sent; }
  void between_requests() override {
    between_requests_at.push_back(offset_);
    if (between_requests_at.size() > open_for) input_.resize(offset_);
  }

  std::string output;
  std::vector<std::string> writes;
  std::size_t write_limit = SIZE_MAX;
  // How far the input had been read each time the connection was told it is
  // between requests, and how many times it stays open after that (then
  // the input ends there, as a stopping process ends it).
  std::vector<std::size_t> between_requests_at;
  std::size_t open_for = SIZE_MAX;
  // Requests answered, as the process counts them for its log and status.
  unsigned responses_sent = 0;

 private:
  std::string input_;
  std::size_t offset_ = 0;
  std::size_t step_;
};

// Answers with the real response at a fixed clock reading and records each
// environment it was handed.
class RecordingResponder final : public Responder {
 public:
  void respond(OutputStream& out, EnvironmentList environment) override {
    environments.emplace_back(environment.begin(), environment.end());
    write_response(out, environment, 1234567890, lookup);
  }
  FakeLookup lookup{{{"127.0.0.1", "localhost"}}};
  std::vector<std::vector<std::string>> environments;
};

const std::string kHeader =
    "Content-type: text/html\r\nLast-Modified: Fri, 13 Feb 2009 23:30:30 GMT\r\n"
    "Expires: Fri, 13 Feb 2009 23:32:30 GMT\r\nCache-Control: private\r\n\r\n";
const std::string kExpires = "Fri, 13 Feb 2009 23:32:30 GMT";

// Splits the records the program wrote: STDOUT contents are joined, the
// rest is kept as it came.
struct Written {
  std::string stdout_text;
  std::vector<std::string> stdout_records;  // each record whole
  std::string others;                       // records other than STDOUT, whole
};
Written split(const std::string& output) {
  Written written;
  std::size_t at = 0;
  while (at + 8 <= output.size()) {
    const auto size = static_cast<unsigned char>(output[at + 4]) << 8 |
                      static_cast<unsigned char>(output[at + 5]);
    const auto padding = static_cast<unsigned char>(output[at + 6]);
    const std::string whole = output.substr(at, 8 + size + padding);
    if (output[at + 1] == 6) {
      written.stdout_text += whole.substr(8, size);
      written.stdout_records.push_back(whole);
    } else {
      written.others += whole;
    }
    at += whole.size();
  }
  EXPECT_EQ(at, output.size()) << "output ends inside a record";
  return written;
}

TEST(FastCgiTest, RequestGetsTheCgiPageOfItsParametersAlone) {
  // Parameters split across records and cut anywhere, in both length forms,
  // with padding; names that are empty or begin with a zero byte (which
  // would make an empty entry, ending the table) left out; a body that must
  // not reach the page.
  const std::string pairs = pair("REMOTE_ADDR", "127.0.0.1") + length(1, true) + length(4, true) +
                            "Q" + "<&>\n" + pair("LONG", std::string(300, 'v')) +
                            pair("", "hidden") + pair(std::string("\0Z", 2), "hidden") +
                            pair("NOVALUE", "");
  const std::string input = begin(1) + record(4, 1, pairs.substr(0, 10), 5) +
                            record(4, 1, pairs.substr(10), 3) + record(4, 1, "") +
                            record(5, 1, "BODY=secret") + record(5, 1, "");
  FakeConnection connection(input);
  RecordingResponder responder;
  serve_connection(connection, responder, 16);

  ASSERT_EQ(responder.environments.size(), 1u);
  EXPECT_EQ(responder.environments[0],
            (std::vector<std::string>{"REMOTE_ADDR=127.0.0.1", "Q=<&>\n",
                                      "LONG=" + std::string(300, 'v'), "NOVALUE="}));
  const Written written = split(connection.output);
  EXPECT_EQ(written.stdout_text,
            kHeader + expected_head(kExpires) + two_cells("REMOTE_ADDR", "127.0.0.1") +
                two_cells("Q", "&lt;&amp;&gt;\r\n") + two_cells("LONG", std::string(300, 'v')) +
                two_cells("NOVALUE", "") + host_name_row("localhost") + kExpectedTail);
  // The whole page in one record, then the empty record that ends the
  // stream and END_REQUEST, all in one write: a process that dies before
  // it has sent nothing a server could take for a page.
  ASSERT_EQ(written.stdout_records.size(), 2u);
  EXPECT_EQ(written.stdout_records[1], record(6, 1, ""));
  ASSERT_EQ(connection.writes.size(), 1u);
  EXPECT_TRUE(connection.writes[0].ends_with(kExpectedTail + record(6, 1, "") + end_request(1)));
  EXPECT_EQ(written.others, end_request(1));
}

TEST(FastCgiTest, KeptConnectionServesEachRequestItsOwnVariables) {
  const std::string input = request(7, pair("FIRST_ONLY", "1") + pair("N", "1"), true) +
                            request(8, pair("N", "2"), true) + request(9, pair("N", "3"));
  FakeConnection connection(input);
  RecordingResponder responder;
  serve_connection(connection, responder, 16);

  EXPECT_EQ(responder.environments,
            (std::vector<std::vector<std::string>>{{"FIRST_ONLY=1", "N=1"}, {"N=2"}, {"N=3"}}));
  // The last, on a connection not kept after it, is served all the same.
  EXPECT_EQ(connection.responses_sent, 3u);
  const Written written = split(connection.output);
  EXPECT_EQ(written.others, end_request(7) + end_request(8) + end_request(9));
  EXPECT_EQ(written.stdout_text, kHeader + expected_head(kExpires) + two_cells("FIRST_ONLY", "1") +
                                     two_cells("N", "1") + kExpectedTail + kHeader +
                                     expected_head(kExpires) + two_cells("N", "2") + kExpectedTail +
                                     kHeader + expected_head(kExpires) + two_cells("N", "3") +
                                     kExpectedTail);
}

// A stopping process closes a kept connection between requests: told only
// where no byte of the next record has been read, it never cuts a request
// short, and a request whose bytes were read already is served.
TEST(FastCgiTest, StoppingClosesAKeptConnectionOnlyBetweenRequests) {
  const std::string values = record(9, 0, pair("FCGI_MAX_REQS", ""));
  const std::string first = request(1, pair("N", "1"), true);
  const std::string second = request(2, pair("N", "2"), true);
  const std::string input = values + first + second;
  const std::size_t a = values.size(), b = a + first.size(), end = b + second.size();
  const struct {
    const char* what;
    std::size_t step;
    std::size_t open_for;
    std::vector<std::size_t> between_requests_at;
    std::size_t pages;
  } cases[] = {
      {"stays open", 1, SIZE_MAX, {0, a, b, end}, 2},
      {"closes before any record", 1, 0, {0}, 0},
      {"closes after the values", 1, 1, {0, a}, 0},
      {"closes after the first request", 1, 2, {0, a, b}, 1},
      {"input already read is served", 65536, 1, {0, end}, 2},
  };
  for (const auto& c : cases) {
    FakeConnection connection(input, c.step);
    connection.open_for = c.open_for;
    RecordingResponder responder;
    serve_connection(connection, responder, 16);
    EXPECT_EQ(connection.between_requests_at, c.between_requests_at) << c.what;
    EXPECT_EQ(responder.environments.size(), c.pages) << c.what;
    const std::string ends[] = {"", end_request(1), end_request(1) + end_request(2)};
    const std::string answered_values =
        c.open_for > 0 ? record(10, 0, pair("FCGI_MAX_REQS", "16")) : "";
    EXPECT_EQ(split(connection.output).others, answered_values + ends[c.pages]) << c.what;
  }
}

// Numbers in a row, up to `size` bytes: bytes that differ all along, so that
// a block sent twice or one left out shows.
std::string numbers(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) text += std::to_string(i) + ' ';
  return text.substr(0, size);
}

TEST(FastCgiTest, PageLargerThanARecordGoesOutInSeveralRecords) {
  const std::string value = numbers(200000);
  FakeConnection connection(request(1, pair("BIG", value)), 65536);
  RecordingResponder responder;
  serve_connection(connection, responder, 16);
  const Written written = split(connection.output);
  EXPECT_EQ(written.stdout_text,
            kHeader + expected_head(kExpires) + two_cells("BIG", value) + kExpectedTail);
  for (const std::string& each : written.stdout_records) EXPECT_LE(each.size(), 8u + 65535u);
  EXPECT_EQ(written.others, end_request(1));
}

// What the peer holds while the lookup runs is all it gets of a process
// that dies then: nothing, at any size, and the server reports an error. The
// page still ends right, in records no larger than the stream's buffer.
TEST(FastCgiTest, NothingLeavesBeforeTheLookupAtAnySize) {
  struct WatchingLookup final : HostLookup {
    const FakeConnection* connection = nullptr;
    std::size_t written_then = SIZE_MAX;
    ClientAddress parse_address(const char*) override {
      return ClientAddress::ipv4({127, 0, 0, 1});
    }
    const char* host_name(const ClientAddress&) override {
      written_then = connection->output.size();
      return "localhost";
    }
  };
  struct WatchedResponder final : Responder {
    WatchingLookup lookup;
    void respond(OutputStream& out, EnvironmentList environment) override {
      write_response(out, environment, 1234567890, lookup);
    }
  };
  for (const std::size_t size :
       {std::size_t{10}, std::size_t{200000}, std::size_t{300000}, kMaxParamsSize - 100}) {
    const std::string value = numbers(size);
    FakeConnection connection(request(1, pair("REMOTE_ADDR", "127.0.0.1") + pair("BIG", value)),
                              65536);
    WatchedResponder responder;
    responder.lookup.connection = &connection;
    serve_connection(connection, responder, 16);

    const std::string page = kHeader + expected_head(kExpires) +
                             two_cells("REMOTE_ADDR", "127.0.0.1") + two_cells("BIG", value) +
                             host_name_row("localhost") + kExpectedTail;
    const Written written = split(connection.output);
    EXPECT_EQ(written.stdout_text, page) << size;
    EXPECT_EQ(written.others, end_request(1)) << size;
    EXPECT_TRUE(connection.output.ends_with(record(6, 1, "") + end_request(1))) << size;
    EXPECT_EQ(responder.lookup.written_then, 0u) << size;
    for (const std::string& each : written.stdout_records) {
      EXPECT_LE(each.size(), 8 + OutputStream::kBufferSize) << size;
    }
  }
}

// Peers that break the protocol: the connection is dropped at once, without
// a page and without END_REQUEST, and nothing is allocated for lengths the
// input does not hold.
TEST(FastCgiTest, BrokenInputClosesTheConnectionWithoutAResponse) {
  const std::string huge_pair = length(0x40000000, true) + length(0x40000000, true) + "AB";
  const struct {
    const char* what;
    std::string input;
  } cases[] = {
      {"two 1 GiB lengths", begin(1) + params(1, huge_pair) + record(5, 1, "")},
      {"value length past the end", begin(1) +
                                        params(1,
                                               "\x01\x05"
                                               "AB") +
                                        record(5, 1, "")},
      // (This literal stops at its zero byte: one byte of a long length.)
      {"long length cut short", begin(1) + params(1, "\x80\x00") + record(5, 1, "")},
      // Long lengths one and two bytes short, with explicit sizes: the zero
      // bytes are part of them.
      {"long name length one byte short",
       begin(1) + params(1, std::string("\x80\x00\x00", 3)) + record(5, 1, "")},
      {"long name length two bytes short",
       begin(1) + params(1, std::string("\x80\x00", 2)) + record(5, 1, "")},
      {"long value length one byte short, after a whole pair",
       begin(1) + params(1, pair("A", "1") + std::string("\x01\x80\x00\x00", 4)) +
           record(5, 1, "")},
      // A request id is in use from its BEGIN_REQUEST to its END_REQUEST. A
      // second BEGIN_REQUEST for it is the peer's mistake, and no answer
      // would be right: END_REQUEST (CANT_MPX_CONN) for that id would end the
      // request still being received, whose page would then follow with no
      // request to belong to.
      {"BEGIN_REQUEST again for the request in progress",
       begin(1) + begin(1) + request(1, "").substr(16)},
      {"BEGIN_REQUEST again in mid-parameters, connection kept",
       begin(1, true) + record(4, 1, pair("A", "1")) + begin(1, true) + record(4, 1, "") +
           record(5, 1, "")},
      {"name length alone", begin(1) + params(1, "\x01") + record(5, 1, "")},
      // Each length fits in what is left, but not the two together: the
      // value would run past the parameters.
      {"100-byte name and 100-byte value, only the name sent",
       begin(1) + params(1, "\x64\x64" + std::string(100, 'n')) + record(5, 1, "")},
      {"2-byte name and 2-byte value in three bytes",
       begin(1) + params(1, std::string("\x02\x02") + "ABC") + record(5, 1, "")},
      {"record cut short", begin(1) + record(4, 1, pair("A", "1")).substr(0, 9)},
      {"header cut short", begin(1) + params(1, pair("A", "1")) + "\x01\x05"},
      {"padding missing", begin(1) + params(1, pair("A", "1")) + record(5, 1, "", 7).substr(0, 10)},
      {"version 2",
       begin(1) + params(1, pair("A", "1")) + std::string("\x02\x05\0\x01\0\0\0\0", 8)},
      {"short BEGIN_REQUEST body",
       record(1, 1, std::string("\0\x01", 2)) + request(2, pair("A", "1"))},
      {"hang-up before the body ends", begin(1) + params(1, pair("A", "1")) + record(5, 1, "x")},
  };
  for (const auto& c : cases) {
    FakeConnection connection(c.input);
    RecordingResponder responder;
    serve_connection(connection, responder, 16);
    EXPECT_TRUE(responder.environments.empty()) << c.what;
    EXPECT_EQ(connection.output, "") << c.what;
  }
}

TEST(FastCgiTest, PeerThatHangsUpMidResponseNeverGetsEndRequest) {
  const std::string input =
      request(1, pair("A", std::string(1000, 'a')), true) + request(2, pair("B", "2"));
  FakeConnection whole(input);
  RecordingResponder whole_responder;
  serve_connection(whole, whole_responder, 16);
  const std::size_t first_response = whole.output.find(end_request(1)) + 16;
  // Cut off in the first STDOUT record, and in the records that end the
  // response.
  for (const std::size_t limit :
       {std::size_t{0}, std::size_t{100}, first_response - 24, first_response - 1}) {
    FakeConnection connection(input);
    connection.write_limit = limit;
    RecordingResponder responder;
    serve_connection(connection, responder, 16);
    EXPECT_EQ(responder.environments.size(), 1u) << limit;
    EXPECT_EQ(split(connection.output).others, "") << limit;
  }
}

TEST(FastCgiTest, ManagementAndStrayRecordsGetTheirAnswers) {
  const struct {
    const char* what;
    std::string input;
    std::string output;  // records other than STDOUT
    std::size_t pages;
  } cases[] = {
      {"abort before the parameters end",
       begin(1, true) + record(4, 1, pair("A", "1")) + record(2, 1, "") + request(2, "", false),
       end_request(1) + end_request(2), 1},
      {"abort ends a connection not kept", begin(1) + record(2, 1, "") + request(2, ""),
       end_request(1), 0},
      {"abort of another request is ignored",
       begin(1) + record(2, 5, "") + request(1, "").substr(16), end_request(1), 1},
      {"get values",
       record(9, 0,
              pair("FCGI_MAX_CONNS", "") + pair("X", "") + pair("FCGI_MPXS_CONNS", "") +
                  pair("FCGI_MAX_REQS", "")) +
           request(1, ""),
       record(10, 0,
              pair("FCGI_MAX_CONNS", "16") + pair("FCGI_MPXS_CONNS", "0") +
                  pair("FCGI_MAX_REQS", "16")) +
           end_request(1),
       1},
      {"unknown management type", record(42, 0, "xyz") + request(1, ""),
       record(11, 0, std::string("\x2a\0\0\0\0\0\0\0", 8)) + end_request(1), 1},
      {"unknown type of a request is ignored",
       begin(1) + record(42, 1, "xyz") + request(1, "").substr(16), end_request(1), 1},
      {"records of other requests are ignored",
       begin(1) + record(4, 2, pair("OTHER", "2")) + record(5, 2, "") + params(1, pair("A", "1")) +
           record(8, 1, "data") + record(5, 1, ""),
       end_request(1), 1},
      {"second request on a busy connection", begin(1) + begin(2) + request(1, "").substr(16),
       end_request(2, 1) + end_request(1), 1},
      {"role other than responder", begin(1, true, 3) + request(2, ""),
       end_request(1, 3) + end_request(2), 1},
      {"role other than responder, connection not kept", begin(1, false, 2) + request(2, ""),
       end_request(1, 3), 0},
  };
  for (const auto& c : cases) {
    FakeConnection connection(c.input);
    RecordingResponder responder;
    serve_connection(connection, responder, 16);
    EXPECT_EQ(split(connection.output).others, c.output) << c.what;
    EXPECT_EQ(responder.environments.size(), c.pages) << c.what;
  }
}

// Requests refused for their parameters: over kMaxParamsSize, or with no
// room left for them in the process while they may wait.

// The exact records of a 503: the text in one STDOUT record, then the end of
// the stream and END_REQUEST.
std::string refused_records(unsigned id) {
  const std::string text =
      "Status: 503 Service Unavailable\r\n"
      "Retry-After: 5\r\n"
      "Content-type: text/plain\r\n"
      "\r\n"
      "Too busy to take this request now: please try again in a few seconds.\r\n";
  return record(6, id, text) + record(6, id, "") + end_request(id);
}

// Parameters of exactly `size` bytes on the wire: one pair "V=vvv...".
std::string params_of_size(std::size_t size) { return pair("V", std::string(size - 6, 'v')); }

// Serves the input in blocks, as FakeConnection does, and records what the
// server asks of it for refused requests; `room` answers wait_for_room.
class RefusingConnection final : public Connection {
 public:
  explicit RefusingConnection(std::string input) : input_(std::move(input)) {}

  std::size_t read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, std::size_t{70000}, input_.size() - offset_});
    std::memcpy(buffer, input_.data() + offset_, n);
    offset_ += n;
    return n;
  }
  bool write(std::initializer_list<std::string_view> pieces) override {
    for (const std::string_view piece : pieces) output += piece;
    ++writes;
    return true;
  }
  bool wait_for_room() override {
    ++waits;
    return room ? room() : false;
  }
  void refused(Refusal why) override { refusals.push_back(why); }

  bool all_read() const { return offset_ == input_.size(); }

  std::string output;
  int writes = 0;
  int waits = 0;
  std::vector<Refusal> refusals;
  std::function<bool()> room;

 private:
  std::string input_;
  std::size_t offset_ = 0;
};

// Over kMaxParamsSize, a request is answered 503 at once, without waiting:
// the rest of its records are read and dropped first, so that the peer is
// not reset with bytes unread, and a kept connection goes on with the next
// request. Exactly kMaxParamsSize still gets its page.
TEST(FastCgiRefusalTest, ParametersOverTheLimitAreAnswered503) {
  using Refusal = Connection::Refusal;
  const std::string over = params(1, params_of_size(kMaxParamsSize + 1));
  const struct {
    const char* what;
    std::string input;
    std::string output;  // all written; with a page, the records other than STDOUT
    std::size_t pages;
    std::vector<Refusal> refusals;
  } cases[] = {
      {"one byte over, with a body",
       begin(1) + over + record(5, 1, "body") + record(5, 1, ""),
       refused_records(1),
       0,
       {Refusal::kOverLimit}},
      {"far over, in many records",
       begin(1) + params(1, params_of_size(3 * kMaxParamsSize)) + record(5, 1, ""),
       refused_records(1),
       0,
       {Refusal::kOverLimit}},
      {"over, connection kept: the next request is served",
       begin(1, true) + over + record(5, 1, "") + request(2, pair("A", "1")),
       end_request(1) + end_request(2),
       1,
       {Refusal::kOverLimit}},
      {"over, then aborted: END_REQUEST alone",
       begin(1, true) + over + record(2, 1, ""),
       end_request(1),
       0,
       {}},
      {"exactly the limit", request(1, params_of_size(kMaxParamsSize)), end_request(1), 1, {}},
  };
  for (const auto& c : cases) {
    RefusingConnection connection(c.input);
    RecordingResponder responder;
    serve_connection(connection, responder, 16);
    const Written written = split(connection.output);
    if (c.pages == 0) {
      EXPECT_EQ(connection.output, c.output) << c.what;
    } else {
      EXPECT_EQ(split(connection.output).others, c.output) << c.what;
    }
    if (!c.refusals.empty()) {
      EXPECT_TRUE(connection.output.starts_with(refused_records(1))) << c.what;
    }
    EXPECT_EQ(responder.environments.size(), c.pages) << c.what;
    EXPECT_EQ(connection.refusals, c.refusals) << c.what;
    EXPECT_EQ(connection.waits, 0) << c.what;
    EXPECT_TRUE(connection.all_read()) << c.what;
  }
  // The 503 goes out whole in one write.
  RefusingConnection connection(begin(1) + over + record(5, 1, ""));
  RecordingResponder responder;
  serve_connection(connection, responder, 16);
  EXPECT_EQ(connection.writes, 1);
}

// Twelve connections, each in the middle of a request with kMaxParamsSize of
// parameters, fill kMaxParamsInAll: one more request waits for room, without
// reading on, and gets its page once the others end, or a 503 when it may
// wait no longer.
class HeldParameters {
 public:
  static constexpr unsigned kHolders = kMaxParamsInAll / kMaxParamsSize;

  HeldParameters() {
    for (unsigned i = 0; i < kHolders; ++i) {
      holders_.emplace_back([this] {
        Holder connection(*this);
        RecordingResponder responder;
        serve_connection(connection, responder, 16);
        std::lock_guard lock(mutex_);
        pages_ += responder.environments.size();
      });
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_ == kHolders; });
  }
  ~HeldParameters() {
    release();
    for (std::thread& each : holders_) each.join();
  }

  // The held requests end (each gets its page), and their connections with
  // them.
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // How many of them got their page, once all have ended.
  std::size_t pages() {
    for (std::thread& each : holders_) each.join();
    holders_.clear();
    return pages_;
  }

 private:
  // A peer that sends a request's parameters and then nothing until
  // released. Its read is called for more only once all it sent has been
  // taken in, parameters counted against the budget.
  class Holder final : public Connection {
   public:
    explicit Holder(HeldParameters& held) : held_(held) {}
    std::size_t read(char* buffer, std::size_t size) override {
      if (offset_ == head_.size()) {
        std::unique_lock lock(held_.mutex_);
        ++held_.waiting_;
        held_.changed_.notify_all();
        held_.changed_.wait(lock, [this] { return held_.released_; });
        head_ += record(4, 1, "") + record(5, 1, "");
      }
      const std::size_t n = std::min(size, head_.size() - offset_);
      std::memcpy(buffer, head_.data() + offset_, n);
      offset_ += n;
      return n;
    }
    bool write(std::initializer_list<std::string_view>) override { return true; }

   private:
    HeldParameters& held_;
    // The parameters' records without the empty one that ends them.
    std::string head_ = [] {
      const std::string stream = params(1, params_of_size(kMaxParamsSize));
      return begin(1) + stream.substr(0, stream.size() - 8);
    }();
    std::size_t offset_ = 0;
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned waiting_ = 0;
  bool released_ = false;
  std::size_t pages_ = 0;
  std::vector<std::thread> holders_;
};

TEST(FastCgiRefusalTest, RequestWaitsForRoomThenGetsItsPage) {
  HeldParameters held;
  RefusingConnection connection(request(7, pair("A", "1")));
  connection.room = [&] {
    if (connection.waits == 3) held.release();
    // Room comes only as the held connections end.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return connection.waits < 100000;
  };
  RecordingResponder responder;
  serve_connection(connection, responder, 16);
  EXPECT_GE(connection.waits, 3);
  EXPECT_TRUE(connection.refusals.empty());
  ASSERT_EQ(responder.environments.size(), 1u);
  EXPECT_EQ(responder.environments[0], std::vector<std::string>{"A=1"});
  EXPECT_EQ(split(connection.output).others, end_request(7));
  EXPECT_EQ(held.pages(), HeldParameters::kHolders);
}

TEST(FastCgiRefusalTest, RequestThatFindsNoRoomIsAnswered503) {
  HeldParameters held;
  // Kept: after its 503, the connection serves the next request, which finds
  // room once the held ones have ended.
  RefusingConnection connection(begin(7, true) + params(7, pair("A", "1")) + record(5, 7, "body") +
                                record(5, 7, "") + request(8, pair("B", "2")));
  connection.room = [&] {
    if (connection.waits < 3) return true;
    if (connection.waits == 3) return false;
    held.release();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return connection.waits < 100000;
  };
  RecordingResponder responder;
  serve_connection(connection, responder, 16);
  EXPECT_EQ(connection.refusals, std::vector{Connection::Refusal::kNoRoom});
  EXPECT_TRUE(connection.output.starts_with(refused_records(7)));
  EXPECT_EQ(split(connection.output).others, end_request(7) + end_request(8));
  ASSERT_EQ(responder.environments.size(), 1u);
  EXPECT_EQ(responder.environments[0], std::vector<std::string>{"B=2"});
  EXPECT_TRUE(connection.all_read());
}

}  // namespace
}  // namespace varpage::fastcgi
