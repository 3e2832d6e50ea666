#include "host_row.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace varpage {
namespace {

using testing::FakeLookup;
using testing::host_name_row;
using testing::StringSink;

class HostRowTest : public ::testing::Test {
 protected:
  std::string row_for(const std::vector<const char*>& entries) {
    StringSink sink;
    {
      OutputStream out(sink);
      write_host_row(out, entries, lookup);
    }
    return sink.text;
  }

  FakeLookup lookup{{{"127.0.0.1", "localhost"},
                     {"10.0.0.1", "first.example"},
                     {"10.0.0.2", "second.example"},
                     {"10.0.0.9", ""},
                     {"10.0.0.66", "<script>&x=%s%n</script>"},
                     {"255.255.255.255", "broadcast.example"},
                     {"2001:0db8:0000:0000:0000:0000:0000:0005", "v6.example"}}};
};

TEST_F(HostRowTest, NamedAddressGivesTheRow) {
  EXPECT_EQ(row_for({"A=1", "REMOTE_ADDR=127.0.0.1", "B=2"}), host_name_row("localhost"));
  EXPECT_EQ(lookup.parsed, std::vector<std::string>{"127.0.0.1"});
}

// The row does not care which family the lookup found the name for.
TEST_F(HostRowTest, Ipv6AddressIsLookedUpAsParsed) {
  const char* named = "REMOTE_ADDR=2001:0db8:0000:0000:0000:0000:0000:0005";
  const char* unnamed = "REMOTE_ADDR=2001:0db8:0000:0000:0000:0000:0000:0006";
  EXPECT_EQ(row_for({named}), host_name_row("v6.example"));
  EXPECT_EQ(row_for({unnamed}), "");
  EXPECT_EQ(lookup.looked_up,
            (std::vector<std::string>{"2001:0db8:0000:0000:0000:0000:0000:0005",
                                      "2001:0db8:0000:0000:0000:0000:0000:0006"}));
}

TEST_F(HostRowTest, MissingOrEmptyAddressGivesNoRowAndNoLookup) {
  EXPECT_EQ(row_for({"A=1", "REMOTE_HOST=127.0.0.1", "XREMOTE_ADDR=127.0.0.1"}), "");
  EXPECT_EQ(row_for({"REMOTE_ADDR="}), "");
  EXPECT_EQ(row_for({}), "");
  EXPECT_TRUE(lookup.parsed.empty());
}

TEST_F(HostRowTest, AddressWithoutANameGivesNoRow) {
  EXPECT_EQ(row_for({"REMOTE_ADDR=192.0.2.7"}), "");
  EXPECT_EQ(lookup.looked_up, std::vector<std::string>{"192.0.2.7"});
}

TEST_F(HostRowTest, NameIsMatchedInAnyCaseOfAsciiLetters) {
  EXPECT_EQ(row_for({"remote_addr=10.0.0.1"}), host_name_row("first.example"));
  EXPECT_EQ(row_for({"Remote_Addr=10.0.0.2"}), host_name_row("second.example"));
}

TEST_F(HostRowTest, NearMissesDoNotMatch) {
  // Longer or shorter names, a missing '=', and a non-letter that only
  // differs by the case bit.
  EXPECT_EQ(row_for({"REMOTE_ADDRX=10.0.0.1", "REMOTE_ADD=10.0.0.1", "REMOTE_ADDR", "REMOTE",
                     "REMOTE\x7F"
                     "ADDR=10.0.0.1"}),
            "");
  EXPECT_TRUE(lookup.parsed.empty());
}

TEST_F(HostRowTest, FirstMatchWinsAndTheSearchGoesPastEmptyEntries) {
  EXPECT_EQ(row_for({"", "remote_addr=10.0.0.2", "REMOTE_ADDR=10.0.0.1"}),
            host_name_row("second.example"));
  EXPECT_EQ(lookup.parsed, std::vector<std::string>{"10.0.0.2"});
}

TEST_F(HostRowTest, EmptyFirstMatchIsNotSkippedForALaterOne) {
  EXPECT_EQ(row_for({"REMOTE_ADDR=", "REMOTE_ADDR=127.0.0.1"}), "");
}

TEST_F(HostRowTest, EmptyNameStillGivesTheRow) {
  EXPECT_EQ(row_for({"REMOTE_ADDR=10.0.0.9"}), host_name_row(""));
}

TEST_F(HostRowTest, NameIsEscapedAndNeverAFormat) {
  EXPECT_EQ(row_for({"REMOTE_ADDR=10.0.0.66"}),
            host_name_row("&lt;script&gt;&amp;x=%s%n&lt;/script&gt;"));
}

TEST_F(HostRowTest, TextThatIsNotAnAddressIsLookedUpAsAllOnes) {
  EXPECT_EQ(row_for({"REMOTE_ADDR=not an address"}), host_name_row("broadcast.example"));
  EXPECT_EQ(lookup.looked_up, std::vector<std::string>{"255.255.255.255"});
}

// A process that dies during a slow lookup must not have sent the table
// already: on its own it would pass for the whole page. write_response makes
// the lookup before the first byte (LookupAhead); the row asks nothing
// ahead of what the stream holds either.
TEST_F(HostRowTest, TableStaysInTheStreamDuringTheLookup) {
  StringSink sink;
  struct SeesSinkLookup final : HostLookup {
    StringSink* sink;
    std::string seen = "(not asked)";
    ClientAddress parse_address(const char*) override {
      return ClientAddress::ipv4({127, 0, 0, 1});
    }
    const char* host_name(const ClientAddress&) override {
      seen = sink->text;
      return "localhost";
    }
  } seeing;
  seeing.sink = &sink;
  {
    OutputStream out(sink);
    out.write("table so far\n");
    write_host_row(out, std::vector<const char*>{"REMOTE_ADDR=127.0.0.1"}, seeing);
  }
  EXPECT_EQ(seeing.seen, "");
  EXPECT_EQ(sink.writes, std::vector<std::string>{"table so far\r\n" + host_name_row("localhost")});
}

// 63 characters and the terminating zero fill the buffer; one more is
// refused rather than written past its end.
TEST(Ipv6AddressPartTest, TextUpToTheBufferIsCopiedAndLongerIsRefused) {
  for (const std::size_t size : {std::size_t{62}, std::size_t{63}, std::size_t{64}}) {
    std::string text;
    while (text.size() + 3 <= size) text += "0:";
    text.resize(size, '1');
    Ipv6Text out;
    std::memset(out, 'x', sizeof out);
    const bool taken = ipv6_address_part(text.c_str(), out);
    EXPECT_EQ(taken, size + 1 <= sizeof out) << size << " characters";
    if (taken) {
      EXPECT_EQ(std::string(out), text);
    }
  }
}

}  // namespace
}  // namespace varpage
