#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace visa {

void Log(const char *format, ...) {
  static std::mutex mutex;
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::lock_guard lock(mutex);
  std::fprintf(stderr, "tavrin-visa %s.%03ld %s\n", stamp, now.tv_nsec / 1000000, text);
  std::fflush(stderr);
}

}  // namespace visa
