// A run cancelled from outside (Ctrl+C, a request to terminate, the terminal
// or console going away) deletes the files it was still filling before it
// ends the way the system ends such a process, so that no partial file is
// left behind looking like a result kept on purpose.
#pragma once

#include <string>

// The files a run may be filling at once: the download's temporary file and
// the new output file that will replace the old one.
enum InterruptSlot { DOWNLOAD_SLOT = 0, OUTPUT_SLOT = 1, INTERRUPT_SLOTS = 2 };

// Installs the handlers once, at start-up. On POSIX it also ignores SIGPIPE:
// a reader that left standard output makes a write fail, not the job, and the
// job's own exit code stands. A cancel signal the caller set to be ignored
// (nohup, a background job) stays ignored.
void installInterruptCleanup();
// From now on a cancelled run deletes `path`, which the slot names.
void deleteOnInterrupt(InterruptSlot slot, const std::string& path);
// The file of the slot is no longer the handler's to delete.
void keepOnInterrupt(InterruptSlot slot);
