#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"

void invariantBroken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}
