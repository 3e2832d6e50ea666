// The environment the program was started with, as the page lists it.
#pragma once

#include <span>
#include <vector>

namespace varpage {

// Entries in the order the process environment holds them; as a rule each is
// name=value, but any byte string is possible, the empty one included.
using EnvironmentList = std::span<const char* const>;

// Takes the entries of a null-terminated environment block, leaving out those
// that begin with '='. Windows keeps its per-drive working directories in such
// entries ("=C:=C:\work"); they are bookkeeping, not variables, and the page
// never shows them, whichever platform hands them over.
std::vector<const char*> snapshot_environment(const char* const* block);

}  // namespace varpage
