// What every fuzz target shares: a check that stops the run with the property it broke.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vorlix::fuzz {

// Aborts (a crash to libFuzzer, which then saves the input) when `holds` is false.
inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace vorlix::fuzz
