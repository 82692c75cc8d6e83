#include <unistd.h>

#include "platform/console.h"

// POSIX streams never translate line ends.
void initConsoleOutput() {}

bool errorStreamIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}
