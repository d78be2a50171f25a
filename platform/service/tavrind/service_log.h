// One line per event on standard error, which the journal keeps when the
// service runs under systemd.
#pragma once

#include <string>

namespace service {

void LogLine(const std::string &line);

}  // namespace service
