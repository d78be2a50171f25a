// Sending one Plug and Play request down a device stack and waiting for it.
#pragma once

#include <ntddk.h>

namespace host {

// Sends IRP_MJ_PNP with `minor` to the top of `pdo`'s stack; for
// IRP_MN_QUERY_CAPABILITIES, `capabilities` travels with it. *sent tells
// whether the request reached the stack at all (its packet may not be
// allocated).
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr, bool *sent = nullptr);

// Sends IRP_MJ_POWER with `minor` (query or set) for one power state.
NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

}  // namespace host
