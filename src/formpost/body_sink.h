// Where the multipart writers put their bytes: the transport's request handle
// on a real exchange, or a recorder in the tests. Each write() is one write
// call on the wire.
#pragma once

#include <cstdint>

struct BodySink {
  void* target = nullptr;
  bool (*writeBytes)(void* target, const void* bytes, uint32_t count) = nullptr;

  bool isNull() const { return target == nullptr; }
  bool write(const void* bytes, uint32_t count) const { return writeBytes(target, bytes, count); }
};
