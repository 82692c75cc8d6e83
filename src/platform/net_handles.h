// The records behind the HTTP layer's handles, as far as both systems share
// them: each record starts with its kind, so that a call can tell a handle of
// the kind it needs from one of another kind, or none. Internal to
// src/platform.
#pragma once

#include <string>

#include "platform/http.h"

enum class HandleKind { Root, Connection, Request };

struct NetRoot {
  HandleKind kind = HandleKind::Root;
  std::string agent;       // the User-Agent text
  void* handle = nullptr;  // the system's own root handle, where it has one
};

// Records the error of a call given a handle it cannot use (each system's
// own number for it).
void noteInvalidHandle();

// `handle` as the record of `kind`; null, with the error noted, when it is
// none or of another kind.
template <typename T>
T* asHandle(NetHandle handle, HandleKind kind) {
  if (!handle || *static_cast<HandleKind*>(handle) != kind) {
    noteInvalidHandle();
    return nullptr;
  }
  return static_cast<T*>(handle);
}
