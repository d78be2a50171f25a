// Kernel-mode interface of the embedded Windows kernel, as the DDK's ntddk.h.
#pragma once
#include <wdm.h>
