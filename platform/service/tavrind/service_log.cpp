#include "service_log.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>

namespace service {
namespace {
std::mutex lock;
bool toSyslog = false;
}  // namespace

void LogLine(const std::string &line) {
  std::lock_guard guard(lock);
  if (toSyslog) {
    syslog(LOG_INFO, "%s", line.c_str());
    return;
  }
  std::fprintf(stderr, "tavrind: %s\n", line.c_str());
  std::fflush(stderr);
}

void LogToSyslog() {
  std::lock_guard guard(lock);
  openlog("tavrind", LOG_PID, LOG_DAEMON);
  toSyslog = true;
}

}  // namespace service
