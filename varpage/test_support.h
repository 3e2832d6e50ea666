// Stand-ins for standard output and the resolver, shared by the unit tests.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host_row.h"
#include "output_stream.h"

namespace varpage::testing {

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

// Parses dotted quads strictly and answers from a fixed table; it records
// what it was asked.
class FakeLookup final : public HostLookup {
 public:
  explicit FakeLookup(std::map<std::string, std::string> names = {}) : names_(std::move(names)) {}

  Ipv4Address parse_address(const char* text) override {
    parsed.emplace_back(text);
    unsigned a, b, c, d;
    char rest;
    if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) == 4 && a < 256 && b < 256 &&
        c < 256 && d < 256) {
      return {{static_cast<unsigned char>(a), static_cast<unsigned char>(b),
               static_cast<unsigned char>(c), static_cast<unsigned char>(d)}};
    }
    return {{255, 255, 255, 255}};
  }

  const char* host_name(const Ipv4Address& address) override {
    const std::string dotted =
        std::to_string(address.bytes[0]) + "." + std::to_string(address.bytes[1]) + "." +
        std::to_string(address.bytes[2]) + "." + std::to_string(address.bytes[3]);
    looked_up.push_back(dotted);
    const auto found = names_.find(dotted);
    return found == names_.end() ? nullptr : found->second.c_str();
  }

  std::vector<std::string> parsed;
  std::vector<std::string> looked_up;

 private:
  std::map<std::string, std::string> names_;
};

}  // namespace varpage::testing
