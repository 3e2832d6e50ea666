// What the tests share: stand-ins for standard output and the resolver, and
// the document that the program is expected to write.
#pragma once

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host_row.h"
#include "output_stream.h"

namespace varpage::testing {

// The document as it goes out on the wire, line ends expanded: everything up
// to the first table row.
inline std::string expected_head(const std::string& expires) {
  return "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\r\n"
         "<html>\r\n"
         "<head>\r\n"
         "<meta http-equiv=\"Content-Type\" content=\"text/html\" />\r\n"
         "<meta http-equiv=\"Pragma\" content=\"no-cache\" />\r\n"
         "<meta http-equiv=\"Expires\" content=\"" +
         expires +
         "\" />\r\n"
         "<title>Environment Variable List</title>\r\n"
         "</head>\r\n"
         "<body>\r\n"
         "<h1>Environment Variable List</h1>\r\n"
         "<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\" cols=\"2\" frame=\"hsides\" "
         "rules=\"rows\">\r\n"
         "<colgroup span=\"2\">\r\n\t<col />\r\n\t<col />\r\n</colgroup>\r\n"
         "<thead>\r\n\t<tr>\r\n"
         "\t\t<th>environment variable name</th>\r\n"
         "\t\t<th>environment variable value</th>\r\n"
         "\t</tr>\r\n</thead>\r\n"
         "<tbody>\r\n";
}

inline const std::string kExpectedTail = "</tbody>\r\n</table>\r\n</body>\r\n</html>";

// Rows with the cell contents already escaped.
inline std::string two_cells(const std::string& name, const std::string& value) {
  return "\t<tr>\r\n\t\t<td>" + name + "</td>\r\n\t\t<td>" + value + "</td>\r\n\t</tr>\r\n";
}
inline std::string one_cell(const std::string& text) {
  return "\t<tr>\r\n\t\t<td>" + text + "</td>\r\n\t</tr>\r\n";
}
inline std::string host_name_row(const std::string& name) {
  return "\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t" +
         name + "\r\n\t\t</td>\r\n\t</tr>\r\n";
}

// Collects what reaches it; each write is also kept on its own, so tests can
// see where the stream cut its blocks.
class StringSink final : public ByteSink {
 public:
  void write(const char* data, std::size_t size) override {
    text.append(data, size);
    writes.emplace_back(data, size);
  }
  std::string text;
  std::vector<std::string> writes;
};

// An address as the tests write it: dotted for IPv4, eight groups of four
// lower-case hex digits for IPv6.
inline std::string describe(const ClientAddress& address) {
  char text[40];
  const unsigned char* b = address.bytes;
  if (address.family == ClientAddress::Family::kIpv4) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  } else {
    std::snprintf(text, sizeof text,
                  "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
  }
  return text;
}

// Reads strict dotted quads as IPv4 and eight full groups of four hex digits
// as IPv6 (no mapping, no short forms: the system lookup's own tests cover
// those), anything else as 255.255.255.255; answers from a fixed table keyed
// by those same forms, and records what it was asked.
class FakeLookup final : public HostLookup {
 public:
  explicit FakeLookup(std::map<std::string, std::string> names = {}) : names_(std::move(names)) {}

  ClientAddress parse_address(const char* text) override {
    parsed.emplace_back(text);
    unsigned a, b, c, d;
    char rest;
    if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) == 4 && a < 256 && b < 256 &&
        c < 256 && d < 256) {
      return ClientAddress::ipv4({static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                  static_cast<unsigned char>(c), static_cast<unsigned char>(d)});
    }
    unsigned groups[8];
    int consumed = 0;
    if (std::strlen(text) == 39 &&
        std::sscanf(text, "%4x:%4x:%4x:%4x:%4x:%4x:%4x:%4x%n", &groups[0], &groups[1], &groups[2],
                    &groups[3], &groups[4], &groups[5], &groups[6], &groups[7], &consumed) == 8 &&
        consumed == 39) {
      ClientAddress address{ClientAddress::Family::kIpv6, {}};
      for (int i = 0; i < 8; ++i) {
        address.bytes[2 * i] = static_cast<unsigned char>(groups[i] >> 8);
        address.bytes[2 * i + 1] = static_cast<unsigned char>(groups[i]);
      }
      return address;
    }
    return ClientAddress::ipv4({255, 255, 255, 255});
  }

  const char* host_name(const ClientAddress& address) override {
    const std::string text = describe(address);
    looked_up.push_back(text);
    const auto found = names_.find(text);
    return found == names_.end() ? nullptr : found->second.c_str();
  }

  std::vector<std::string> parsed;
  std::vector<std::string> looked_up;

 private:
  std::map<std::string, std::string> names_;
};

}  // namespace varpage::testing
