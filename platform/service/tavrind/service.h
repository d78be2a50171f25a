// The service's accept loop: one session per connecting program, until
// SIGINT or SIGTERM; then every session ends and the hosted system shuts down.
#pragma once

#include "listener.h"
#include "resource_limits.h"

namespace service {

// Serves until asked to stop; returns the exit status.
int Serve(const Listener &listener, const LimitSettings &limits);

}  // namespace service
