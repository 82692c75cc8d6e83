#include "cli/driver.h"
#include "cli/options.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  initAnsiCodePage();
  initConsoleOutput();
  parseCommandLine(argc, argv);
  return processExitStatus(runAgent());
}
