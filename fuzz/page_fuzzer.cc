// libFuzzer target over the environment snapshot, the page writer and the
// host-name row. Input: one byte of options, then environment entries
// separated by zero bytes; with option bit 0 set, the last piece is the host
// name that the lookup answers with.
//
// The oracle reads the document back: every cell, unescaped, must give back
// exactly the entry it came from; the rows must be exactly the listed entries
// and the host-name row; no '<' or '&' from data may stand outside an entity;
// every LF must follow a CR; the document must end with </html>.

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "environment.h"
#include "host_row.h"
#include "output_stream.h"
#include "page.h"
#include "test_support.h"

namespace {

using varpage::testing::StringSink;

class FuzzedLookup final : public varpage::HostLookup {
 public:
  explicit FuzzedLookup(const char* name) : name_(name) {}
  varpage::ClientAddress parse_address(const char*) override {
    return varpage::ClientAddress::ipv4({127, 0, 0, 1});
  }
  const char* host_name(const varpage::ClientAddress&) override { return name_; }

 private:
  const char* name_;
};

void check(bool condition) {
  if (!condition) std::abort();
}

// Consumes `prefix` from the front of `text`, or fails.
void expect(std::string_view& text, std::string_view prefix) {
  check(text.substr(0, prefix.size()) == prefix);
  text.remove_prefix(prefix.size());
}

// Reads cell text up to the literal that ends it and undoes the escaping.
// Data never holds a raw '<', so the first '<' belongs to the page.
std::string read_cell(std::string_view& text, std::string_view end) {
  const std::size_t stop = text.find('<');
  check(stop != std::string_view::npos);
  std::string_view wire = text.substr(0, stop);
  text.remove_prefix(stop);
  expect(text, end);
  std::string data;
  while (!wire.empty()) {
    if (wire[0] == '&') {
      if (wire.starts_with("&amp;"))
        data += '&', wire.remove_prefix(5);
      else if (wire.starts_with("&lt;"))
        data += '<', wire.remove_prefix(4);
      else if (wire.starts_with("&gt;"))
        data += '>', wire.remove_prefix(4);
      else
        check(false);
    } else if (wire.starts_with("\r\n")) {
      data += '\n';
      wire.remove_prefix(2);
    } else {
      check(wire[0] != '\n' && wire[0] != '>');
      data += wire[0];
      wire.remove_prefix(1);
    }
  }
  return data;
}

bool names_remote_addr(const char* entry) {
  return std::strlen(entry) > 11 && strncasecmp(entry, "REMOTE_ADDR", 11) == 0 && entry[11] == '=';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool has_name = data[0] & 1;
  std::vector<std::string> pieces(1);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0)
      pieces.emplace_back();
    else
      pieces.back() += static_cast<char>(data[i]);
  }
  std::string host_name;
  if (has_name) {
    host_name = pieces.back();
    pieces.pop_back();
  }
  std::vector<const char*> block;
  for (const std::string& piece : pieces) block.push_back(piece.c_str());
  block.push_back(nullptr);

  const varpage::EnvironmentSnapshot snapshot(block.data());
  const varpage::EnvironmentList environment = snapshot.entries();
  FuzzedLookup lookup(has_name ? host_name.c_str() : nullptr);
  StringSink sink;
  {
    varpage::OutputStream out(sink);
    varpage::write_page(out, environment, "Thu, 01 Jan 1970 00:01:00 GMT", lookup);
  }
  std::string_view page = sink.text;

  for (std::size_t i = 0; i < page.size(); ++i) {
    if (page[i] == '\n') check(i > 0 && page[i - 1] == '\r');
  }
  check(page.ends_with("</html>"));

  const std::string head = varpage::testing::expected_head("Thu, 01 Jan 1970 00:01:00 GMT");
  expect(page, head);
  // The listing: every snapshot entry up to the first empty one, none that
  // begins with '='.
  for (const char* entry : environment) {
    check(entry[0] != '=');
    if (entry[0] == '\0') break;
    expect(page, "\t<tr>\r\n\t\t<td>");
    const char* separator = std::strchr(entry + 1, '=');
    const std::string name = read_cell(page, "</td>\r\n");
    if (separator == nullptr) {
      check(name == entry);
    } else {
      check(name == std::string(entry, separator));
      expect(page, "\t\t<td>");
      check(read_cell(page, "</td>\r\n") == separator + 1);
    }
    expect(page, "\t</tr>\r\n");
  }
  // The host-name row, when the first matching entry has a value and the
  // lookup names it.
  const char* address = nullptr;
  for (const char* entry : environment) {
    if (names_remote_addr(entry)) {
      address = entry + 12;
      break;
    }
  }
  if (address != nullptr && *address != '\0' && has_name) {
    expect(page,
           "\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t");
    std::string name = read_cell(page, "</td>\r\n\t</tr>\r\n");
    // The cell ends with the row's own line end and indent.
    check(name.ends_with("\n\t\t"));
    name.resize(name.size() - 3);
    check(name == host_name);
  }
  check(page == "</tbody>\r\n</table>\r\n</body>\r\n</html>");
  return 0;
}
