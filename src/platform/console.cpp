#include "platform/console.h"

#include <cstdio>

static void writeAll(FILE* stream, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    size_t count = fwrite(bytes.data() + written, 1, bytes.size() - written, stream);
    if (count == 0) break;
    written += count;
  }
  fflush(stream);
}

void writeOut(const std::string& bytes) {
  writeAll(stdout, bytes);
}

void writeErr(const std::string& bytes) {
  writeAll(stderr, bytes);
}
