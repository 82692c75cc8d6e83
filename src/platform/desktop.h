// The desktop around the program: UI libraries and the web browser.
#pragma once

#include <string>

// COM for this thread and the common controls; nothing on POSIX.
void startDesktopLibraries();
void stopDesktopLibraries();
// Opens `url` in the browser. Failures are not reported.
void openWebPage(const std::string& url);
