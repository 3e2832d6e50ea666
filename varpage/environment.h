// The environment the program was started with, as the page lists it.
#pragma once

#include <cstddef>
#include <span>

namespace varpage {

// Entries in the order the process environment holds them; as a rule each is
// name=value, but any byte string is possible, the empty one included.
using EnvironmentList = std::span<const char* const>;

// The entries of a null-terminated environment block, taken once, without
// those that begin with '='. Windows keeps its per-drive working directories
// in such entries ("=C:=C:\work"); they are bookkeeping, not variables, and
// the page never shows them, whichever platform hands them over.
//
// The list is held in memory from malloc rather than a std::vector: that
// keeps the C++ runtime's allocator and exceptions, and with them most of the
// static C++ runtime, out of the program, which starts once per request.
// Should the allocation fail, the list is empty.
class EnvironmentSnapshot {
 public:
  explicit EnvironmentSnapshot(const char* const* block);
  ~EnvironmentSnapshot();
  EnvironmentSnapshot(const EnvironmentSnapshot&) = delete;
  EnvironmentSnapshot& operator=(const EnvironmentSnapshot&) = delete;

  EnvironmentList entries() const { return {entries_, size_}; }

 private:
  const char** entries_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace varpage
