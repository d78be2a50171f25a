// One line per event: on standard error, which the journal keeps when the
// service runs under systemd, or to syslog once the service has left its
// terminal for the background.
#pragma once

#include <string>

namespace service {

void LogLine(const std::string &line);

// From now on, lines go to syslog (the journal where systemd runs).
void LogToSyslog();

}  // namespace service
