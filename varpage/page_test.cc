#include "page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace varpage {
namespace {

using testing::FakeLookup;
using testing::host_name_row;
using testing::one_cell;
using testing::StringSink;
using testing::two_cells;

const std::string kHead = testing::expected_head("Sun, 09 Sep 2001 01:47:40 GMT");
const std::string& kTail = testing::kExpectedTail;

std::string page_for(const std::vector<const char*>& entries, HostLookup& lookup) {
  StringSink sink;
  {
    OutputStream out(sink);
    write_page(out, entries, "Sun, 09 Sep 2001 01:47:40 GMT", lookup);
  }
  return sink.text;
}

std::string page_for(const std::vector<const char*>& entries) {
  FakeLookup no_names;
  return page_for(entries, no_names);
}

struct RowCase {
  const char* entry;
  std::string row;
  friend void PrintTo(const RowCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.entry);
  }
};

class PageRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(PageRowTest, EntryBecomesExactlyThisRow) {
  EXPECT_EQ(page_for({GetParam().entry}), kHead + GetParam().row + kTail);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PageRowTest,
    ::testing::Values(
        RowCase{"HOME=/root", two_cells("HOME", "/root")},
        // The first '=' separates; later ones are value.
        RowCase{"A=1=2", two_cells("A", "1=2")}, RowCase{"PATH=", two_cells("PATH", "")},
        RowCase{"X=a<b&c>d=e", two_cells("X", "a&lt;b&amp;c&gt;d=e")},
        RowCase{"PATH=C:\\bin", two_cells("PATH", "C:\\bin")},
        RowCase{"Q=\"it's\" %s %n", two_cells("Q", "\"it's\" %s %n")},
        // Markup is escaped from the first byte on.
        RowCase{"<b>=<i>", two_cells("&lt;b&gt;", "&lt;i&gt;")},
        RowCase{"&=&", two_cells("&amp;", "&amp;")}, RowCase{">x<", one_cell("&gt;x&lt;")},
        // The first byte is never the separator.
        RowCase{"==x", two_cells("=", "x")}, RowCase{"=", one_cell("=")},
        RowCase{"NOEQUALS", one_cell("NOEQUALS")}, RowCase{"N", one_cell("N")},
        // Line ends inside data leave as CR LF; a CR already there stays.
        RowCase{"V=one\ntwo\r\nthree", two_cells("V", "one\r\ntwo\r\r\nthree")},
        RowCase{"N\nL=v", two_cells("N\r\nL", "v")},
        // Bytes of any character set pass untouched.
        RowCase{"\xC3\x9C=\x80\xFF\xE2\x82\xAC", two_cells("\xC3\x9C", "\x80\xFF\xE2\x82\xAC")}));

TEST(PageTest, EmptyListGivesATableBodyWithoutRows) { EXPECT_EQ(page_for({}), kHead + kTail); }

TEST(PageTest, RowsFollowListOrder) {
  EXPECT_EQ(page_for({"Z=1", "A=2", "M"}),
            kHead + two_cells("Z", "1") + two_cells("A", "2") + one_cell("M") + kTail);
}

TEST(PageTest, EmptyEntryEndsTheListingButNotTheDocument) {
  EXPECT_EQ(page_for({"A=1", "", "B=2", "C=3"}), kHead + two_cells("A", "1") + kTail);
  EXPECT_EQ(page_for({"", "A=1"}), kHead + kTail);
}

TEST(PageTest, HostRowComesLastEvenAfterAnEmptyEntryCutTheListing) {
  FakeLookup lookup{{{"127.0.0.1", "localhost"}}};
  const std::string page = page_for({"A=1", "", "REMOTE_ADDR=127.0.0.1"}, lookup);
  EXPECT_EQ(page, kHead + two_cells("A", "1") + host_name_row("localhost") + kTail);
}

}  // namespace
}  // namespace varpage
