// Simulated instruments: --simulate N, or TAVRIN_SIMULATE=N from the
// environment, attached by the embedded system when it boots.
#pragma once

#include "report.h"

namespace tavrin_cli {

// The most instruments the embedded system attaches.
inline constexpr int kMostSimulated = 64;
// Only names with one digit (TAVRIN-0 to TAVRIN-9) can be listed and opened.
inline constexpr int kMostNamed = 10;

// Sets TAVRIN_SIMULATE for `requested` (when not negative), or checks the
// value found in the environment; warns when some instruments would have no
// name. kOk, or the exit status of an invalid value.
int PrepareSimulation(const Options &options, int requested);

}  // namespace tavrin_cli
