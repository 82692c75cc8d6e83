#include "platform/interrupts.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

namespace {

const int CANCEL_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The handler may only use what is safe in a signal handler: the paths are
// kept in fixed buffers and a slot is armed only once its path is whole.
constexpr size_t PATH_ROOM = 4096;
char slotPaths[INTERRUPT_SLOTS][PATH_ROOM];
volatile sig_atomic_t slotArmed[INTERRUPT_SLOTS];

void onCancel(int signalNumber) {
  for (int slot = 0; slot < INTERRUPT_SLOTS; ++slot) {
    if (slotArmed[slot]) unlink(slotPaths[slot]);
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

// Keeps the handler out while a slot changes.
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

void deleteOnInterrupt(InterruptSlot slot, const std::string& path) {
  SignalsHeld held;
  slotArmed[slot] = 0;
  // A path too long for the buffer is not deleted on a cancel; no system
  // path of ours comes near it.
  if (path.size() >= PATH_ROOM || path.find('\0') != std::string::npos) return;
  memcpy(slotPaths[slot], path.c_str(), path.size() + 1);
  slotArmed[slot] = 1;
}

void keepOnInterrupt(InterruptSlot slot) {
  SignalsHeld held;
  slotArmed[slot] = 0;
}
