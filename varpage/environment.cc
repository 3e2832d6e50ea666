#include "environment.h"

#include <cstdlib>

namespace varpage {

EnvironmentSnapshot::EnvironmentSnapshot(const char* const* block) {
  if (block == nullptr) return;
  std::size_t count = 0;
  while (block[count] != nullptr) ++count;
  entries_ = static_cast<const char**>(std::malloc(count * sizeof *entries_));
  if (entries_ == nullptr) return;
  for (std::size_t i = 0; i < count; ++i) {
    if (block[i][0] != '=') entries_[size_++] = block[i];
  }
}

EnvironmentSnapshot::~EnvironmentSnapshot() { std::free(entries_); }

}  // namespace varpage
