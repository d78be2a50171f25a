// Sending one Plug and Play request down a device stack and waiting for it.
#pragma once

#include <ntddk.h>

namespace host {

// Sends IRP_MJ_PNP with `minor` to the top of `pdo`'s stack; for
// IRP_MN_QUERY_CAPABILITIES, `capabilities` travels with it.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr);

}  // namespace host
