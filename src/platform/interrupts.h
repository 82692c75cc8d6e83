// A run cancelled from outside (Ctrl+C, a request to terminate, the terminal
// or console going away) deletes the files it was still filling before it
// ends the way the system ends such a process, so that no partial file is
// left behind looking like a result kept on purpose.
#pragma once

#include <string>

// How many paths may be registered at once.
constexpr int INTERRUPT_PATHS = 16;

// Installs the handlers once, at start-up. On POSIX it also ignores SIGPIPE:
// a reader that left standard output makes a write fail, not the job, and the
// job's own exit code stands. A cancel signal the caller set to be ignored
// (nohup, a background job) stays ignored.
void installInterruptCleanup();
// From now on a cancelled run deletes `path`, until keepOnInterrupt(path).
// False when the path cannot be held (the list is full, or on POSIX the path
// is longer than PATH_MAX): the file is then left on a cancel.
bool deleteOnInterrupt(const std::string& path);
// `path` is no longer the handler's to delete; a path not registered is
// ignored.
void keepOnInterrupt(const std::string& path);
