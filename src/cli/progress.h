// A transfer's progress for the person watching: one line on standard error,
// redrawn at most ten times a second and cleared when the transfer ends.
// Nothing is shown when standard error is not a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "formpost/form_request.h"

struct TransferProgress {
  using Clock = std::chrono::steady_clock;

  const char* label;  // "Uploading", "Downloading"
  bool upload;        // which direction of the exchange is shown
  bool drawn = false;
  size_t drawnWidth = 0;
  Clock::time_point started;
  Clock::time_point lastDraw;

  TransferProgress(const char* label, bool upload) : label(label), upload(upload) {}

  // The hook for FormRequest::progress; inactive unless standard error is a
  // terminal.
  NetProgress hook();
  void update(uint64_t done, uint64_t total);
  // Clears the line, if one was drawn.
  void finish();
};

// "Uploading 1.5 MiB of 3.0 MiB (50%), 750.0 KiB/s": the total and the
// percentage only when the total is known (not 0), the rate only when some
// time has passed.
std::string formatProgressLine(const char* label, uint64_t done, uint64_t total, double seconds);
