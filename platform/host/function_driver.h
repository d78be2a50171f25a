// The function driver that the Plug and Play manager loads for attached
// devices: loaded with the first device, unloaded after the last one (when
// the verifier checks that it left no pool behind).
#pragma once

#include <ntddk.h>

#include <string>

namespace host {

void SetFunctionDriverEntry(std::u16string name, PDRIVER_INITIALIZE entry);
// The loaded driver with one more device counted, or null when there is no
// driver to load or it failed to load.
PDRIVER_OBJECT AcquireFunctionDriver();
void ReleaseFunctionDriver();

}  // namespace host
