#include "output_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_support.h"

namespace varpage {
namespace {

using testing::StringSink;

TEST(OutputStreamTest, ExpandsEveryLfAndKeepsEveryOtherByte) {
  std::string all_bytes;
  for (int byte = 1; byte < 256; ++byte) all_bytes += static_cast<char>(byte);
  std::string expected;
  for (char byte : all_bytes) expected += byte == '\n' ? std::string("\r\n") : std::string(1, byte);

  StringSink sink;
  {
    OutputStream out(sink);
    out.write(all_bytes);
    out.write("\n\nend\n");
  }
  EXPECT_EQ(sink.text, expected + "\r\n\r\nend\r\n");
}

TEST(OutputStreamTest, CrLfInDataBecomesCrCrLf) {
  StringSink sink;
  {
    OutputStream out(sink);
    out.write("a\r\nb");
    out.write_escaped("c\r\nd");
  }
  EXPECT_EQ(sink.text, "a\r\r\nbc\r\r\nd");
}

TEST(OutputStreamTest, EscapesMarkupAndLeavesOtherBytes) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"a<b&c>d", "a&lt;b&amp;c&gt;d"},
      {"<<>>&&", "&lt;&lt;&gt;&gt;&amp;&amp;"},
      {"&amp;", "&amp;amp;"},
      {"x=y=z", "x=y=z"},
      {"\"'\\%s%n", "\"'\\%s%n"},
      {"\xC3\xA9\x80\xFF", "\xC3\xA9\x80\xFF"},
      {"line\nnext\n", "line\r\nnext\r\n"},
  };
  for (const Case& c : cases) {
    StringSink sink;
    {
      OutputStream out(sink);
      out.write_escaped(c.input);
    }
    EXPECT_EQ(sink.text, c.expected) << "input: " << c.input;
  }
}

TEST(OutputStreamTest, StopsAtTheFirstEquals) {
  StringSink sink;
  OutputStream out(sink);
  const char entry[] = "a<b=c=d";
  const char* stop = out.write_escaped_until_equals(entry);
  EXPECT_EQ(stop, entry + 3);
  const char* none = out.write_escaped_until_equals("no&separator");
  EXPECT_EQ(*none, '\0');
  out.flush();
  EXPECT_EQ(sink.text, "a&lt;bno&amp;separator");
}

TEST(OutputStreamTest, WritesWholeBlocksAndLosesNothingAcrossThem) {
  // Special bytes and their expansions land on every offset around the
  // boundaries of the blocks that leave as the buffer fills, for a page of
  // some MiB.
  std::string input;
  std::string expected;
  for (std::size_t i = 0; input.size() < 3 * 1024 * 1024 + 7; ++i) {
    switch (i % 7) {
      case 0:
        input += '\n';
        expected += "\r\n";
        break;
      case 3:
        input += '&';
        expected += "&amp;";
        break;
      default:
        input += static_cast<char>('a' + i % 26);
        expected += input.back();
    }
  }
  StringSink sink;
  {
    OutputStream out(sink);
    out.write_escaped(input.c_str());
  }
  // Not EXPECT_EQ: the line-by-line difference it prints of two texts with
  // this many lines would take gigabytes.
  const auto differ =
      std::mismatch(sink.text.begin(), sink.text.end(), expected.begin(), expected.end());
  EXPECT_TRUE(differ.first == sink.text.end() && differ.second == expected.end())
      << "first difference at byte " << differ.first - sink.text.begin() << " of "
      << sink.text.size() << " (expected " << expected.size() << ")";
  ASSERT_GE(sink.writes.size(), 2u);
  for (std::size_t i = 0; i + 1 < sink.writes.size(); ++i) {
    EXPECT_EQ(sink.writes[i].size(), OutputStream::kBufferSize) << "block " << i;
  }
}

// The stream holds at most its own buffer: up to kBufferSize the response
// leaves in one write, at its end; beyond, each full buffer leaves as the
// next byte comes, so a page of any size costs no more memory. The bytes
// differ all along (numbers in a row), so that a block sent twice, or one
// left out, shows.
TEST(OutputStreamTest, LeavesInBlocksOfItsBufferAsItFills) {
  constexpr std::size_t kBlock = OutputStream::kBufferSize;
  std::string numbers;
  for (std::size_t i = 0; numbers.size() < 64 * kBlock + 10; ++i) {
    numbers += std::to_string(i) + ' ';
  }
  const struct {
    std::size_t size;
    std::size_t written_before_the_end;
  } cases[] = {
      {100, 0},
      {kBlock, 0},
      {kBlock + 1, kBlock},
      {4 * kBlock + 1, 4 * kBlock},
      {16 * kBlock, 15 * kBlock},
      {64 * kBlock + 1, 64 * kBlock},
  };
  for (const auto& c : cases) {
    const std::string text = numbers.substr(0, c.size);
    StringSink sink;
    {
      OutputStream out(sink);
      // In pieces of several sizes, the way the page writer appends.
      for (std::size_t at = 0, piece = 1; at < text.size(); at += piece, piece = piece * 3 % 1000) {
        out.write(std::string_view(text).substr(at, piece));
      }
      EXPECT_EQ(sink.text.size(), c.written_before_the_end) << c.size;
    }
    EXPECT_EQ(sink.text, text) << c.size;
    EXPECT_EQ(sink.writes.size(), (c.size + kBlock - 1) / kBlock) << c.size;
    for (const std::string& each : sink.writes) EXPECT_LE(each.size(), kBlock) << c.size;
  }
}

TEST(OutputStreamTest, NothingReachesTheSinkUntilFlushedAndEmptyFlushWritesNothing) {
  StringSink sink;
  OutputStream out(sink);
  out.flush();
  out.write("head\n");
  EXPECT_TRUE(sink.writes.empty());
  out.flush();
  out.flush();
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0], "head\r\n");
}

}  // namespace
}  // namespace varpage
