#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/console.h"

void initConsoleOutput() {
  _setmode(_fileno(stdout), _O_BINARY);
}

bool errorStreamIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}
