#include "cli/driver.h"
#include "cli/options.h"
#include "platform/console.h"
#include "platform/interrupts.h"
#include "platform/process.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  initAnsiCodePage();
  initConsoleOutput();
  installInterruptCleanup();
  parseCommandLine(argc, argv);
  return processExitStatus(runAgent());
}
