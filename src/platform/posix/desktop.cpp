#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/desktop.h"

void startDesktopLibraries() {}
void stopDesktopLibraries() {}

#ifdef __APPLE__
static const char* const BROWSER_LAUNCHER = "open";
#else
static const char* const BROWSER_LAUNCHER = "xdg-open";
#endif

// The launcher runs without a shell, so the URL reaches it as one argument
// whatever it holds. Anything it prints goes to standard error: standard
// output carries only the agent's own text.
bool openWebPage(const std::string& url) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  char* const argv[] = {const_cast<char*>(BROWSER_LAUNCHER), const_cast<char*>(url.c_str()),
                        nullptr};
  pid_t child = 0;
  int failed = posix_spawnp(&child, BROWSER_LAUNCHER, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  return waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
