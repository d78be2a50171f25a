#pragma once

namespace host {

// Stops watching for real instruments (those attached stay until removed).
void StopRealDevices();

}  // namespace host
