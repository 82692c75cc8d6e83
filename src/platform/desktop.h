// The desktop around the program: UI libraries and the web browser.
#pragma once

#include <string>

// COM for this thread and the common controls; nothing on POSIX.
void startDesktopLibraries();
void stopDesktopLibraries();
// Opens `url` in the browser. False when no browser could be started or the
// launcher reported a failure.
bool openWebPage(const std::string& url);
