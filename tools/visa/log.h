// The gateway's log: one line per event on standard error, with the time.
#pragma once

namespace visa {

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace visa
