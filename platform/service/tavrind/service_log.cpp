#include "service_log.h"

#include <cstdio>
#include <mutex>

namespace service {

void LogLine(const std::string &line) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  std::fprintf(stderr, "tavrind: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace service
