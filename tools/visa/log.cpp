#include "log.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace visa {
namespace {

// Clients can cause log lines (every malformed message is one): at most a
// burst of this many, then this many a second; the lines left out are
// counted in the next one written.
constexpr double kBurstLines = 100;
constexpr double kLinesPerSecond = 20;

void WriteLine(const char *text) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::fprintf(stderr, "tavrin-visa %s.%03ld %s\n", stamp, now.tv_nsec / 1000000, text);
}

}  // namespace

void Log(const char *format, ...) {
  static std::mutex mutex;
  static double allowance = kBurstLines;
  static auto refilled = std::chrono::steady_clock::now();
  static unsigned long long leftOut = 0;
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);

  std::lock_guard lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  allowance = std::min(kBurstLines, allowance + std::chrono::duration<double>(now - refilled).count() * kLinesPerSecond);
  refilled = now;
  if (allowance < 1) {
    ++leftOut;
    return;
  }
  allowance -= 1;
  if (leftOut > 0) {
    char note[96];
    std::snprintf(note, sizeof note, "(%llu line(s) not logged: more than %.0f a second)", leftOut, kLinesPerSecond);
    WriteLine(note);
    leftOut = 0;
  }
  WriteLine(text);
  std::fflush(stderr);
}

}  // namespace visa
