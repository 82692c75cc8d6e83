#include "platform/interrupts.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

namespace {

const int CANCEL_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The handler may only use what is safe in a signal handler: the paths are
// kept in fixed buffers and an entry is armed only once its path is whole.
char registeredPaths[INTERRUPT_PATHS][PATH_MAX];
volatile sig_atomic_t armed[INTERRUPT_PATHS];

void onCancel(int signalNumber) {
  for (int entry = 0; entry < INTERRUPT_PATHS; ++entry) {
    if (armed[entry]) unlink(registeredPaths[entry]);
  }
  // The process then ends as the signal ends it, so that the caller sees
  // the status it expects (a shell's 130 for Ctrl+C, 143 for SIGTERM).
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

// Keeps the handler out while the list changes.
struct SignalsHeld {
  sigset_t before;
  SignalsHeld() {
    sigset_t cancel;
    sigemptyset(&cancel);
    for (int signalNumber : CANCEL_SIGNALS) sigaddset(&cancel, signalNumber);
    sigprocmask(SIG_BLOCK, &cancel, &before);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

int findArmed(const std::string& path) {
  for (int entry = 0; entry < INTERRUPT_PATHS; ++entry)
    if (armed[entry] && path == registeredPaths[entry]) return entry;
  return -1;
}

}  // namespace

void installInterruptCleanup() {
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = onCancel;
  sigfillset(&action.sa_mask);
  for (int signalNumber : CANCEL_SIGNALS) {
    struct sigaction current {};
    if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
}

bool deleteOnInterrupt(const std::string& path) {
  if (path.size() >= PATH_MAX || path.find('\0') != std::string::npos) return false;
  SignalsHeld held;
  if (findArmed(path) != -1) return true;
  for (int entry = 0; entry < INTERRUPT_PATHS; ++entry) {
    if (armed[entry]) continue;
    memcpy(registeredPaths[entry], path.c_str(), path.size() + 1);
    armed[entry] = 1;
    return true;
  }
  return false;
}

void keepOnInterrupt(const std::string& path) {
  SignalsHeld held;
  int entry = findArmed(path);
  if (entry != -1) armed[entry] = 0;
}
