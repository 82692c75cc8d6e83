#include "cli/progress.h"

#include <cstdio>

#include "platform/console.h"

namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

std::string formatBytes(double bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  char buffer[32];
  if (bytes < 1024) {
    snprintf(buffer, sizeof buffer, "%.0f B", bytes);
    return buffer;
  }
  int unit = -1;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  snprintf(buffer, sizeof buffer, "%.1f %s", bytes, units[unit]);
  return buffer;
}

void reportProgress(void* context, bool upload, uint64_t done, uint64_t total) {
  auto* progress = static_cast<TransferProgress*>(context);
  if (upload == progress->upload) progress->update(done, total);
}

}  // namespace

std::string formatProgressLine(const char* label, uint64_t done, uint64_t total, double seconds) {
  std::string line = std::string(label) + " " + formatBytes(static_cast<double>(done));
  if (total != 0) {
    line += " of " + formatBytes(static_cast<double>(total));
    // In floating point: done * 100 would overflow for the largest sizes.
    double percent = 100.0 * static_cast<double>(done) / static_cast<double>(total);
    char buffer[16];
    snprintf(buffer, sizeof buffer, " (%.0f%%)", percent > 100 ? 100.0 : percent);
    line += buffer;
  }
  if (seconds > 0) line += ", " + formatBytes(static_cast<double>(done) / seconds) + "/s";
  return line;
}

NetProgress TransferProgress::hook() {
  NetProgress hook;
  if (errorStreamIsTerminal()) {
    hook.context = this;
    hook.report = reportProgress;
  }
  return hook;
}

void TransferProgress::update(uint64_t done, uint64_t total) {
  Clock::time_point now = Clock::now();
  if (!drawn) {
    started = now;
  } else if (now - lastDraw < REDRAW_INTERVAL) {
    return;
  }
  double seconds = std::chrono::duration<double>(now - started).count();
  std::string line = formatProgressLine(label, done, total, seconds);
  size_t width = line.size();
  // Blanks over what is left of a longer line drawn before.
  if (width < drawnWidth) line.append(drawnWidth - width, ' ');
  writeErr("\r" + line);
  drawn = true;
  drawnWidth = width;
  lastDraw = now;
}

void TransferProgress::finish() {
  if (!drawn) return;
  writeErr("\r" + std::string(drawnWidth, ' ') + "\r");
  drawn = false;
  drawnWidth = 0;
}
