#include "environment.h"

namespace varpage {

std::vector<const char*> snapshot_environment(const char* const* block) {
  std::vector<const char*> entries;
  if (block == nullptr) return entries;
  std::size_t count = 0;
  while (block[count] != nullptr) ++count;
  entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (block[i][0] != '=') entries.push_back(block[i]);
  }
  return entries;
}

}  // namespace varpage
