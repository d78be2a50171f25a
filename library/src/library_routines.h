// The library's internal routines, shared by its source files (and its tests):
// opening an instrument by name, the text helper, and the one routine behind
// the three transfer exports.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <tavrin_ioctl.h>

#include <cstdint>

// The channels: each is the index of its pipe in the interface record.
inline constexpr int16_t kCommandChannel = 0;
inline constexpr int16_t kInterrogativeChannel = 1;
inline constexpr int16_t kFormattedChannel = 2;

// Results of Channel_Transfer, and of USB_Write.
inline constexpr int32_t kTransferCompleted = 1;
inline constexpr int32_t kTransferFailed = 0;
inline constexpr int32_t kDeviceNotOpened = -2;
// The library's bounds error (an unusable buffer or length, a channel whose
// pipe entry lies outside the record) reaches callers as a failed transfer:
// nothing was sent.
inline constexpr int32_t kBoundsError = kTransferFailed;

// The interface record buffer, as request IOCTL_INSTR_GET_INTERFACE_RECORD
// fills it.
using InterfaceRecordBuffer = BYTE[TAVRIN_RECORD_BUFFER_BYTES];

// Opens the instrument "\\.\" + DeviceName for reading and writing. Returns
// the new handle, which the caller closes, or null when the instrument cannot
// be opened (absent, not started, or a name that has no 8-bit form).
HANDLE Open_Device(const BSTR &DeviceName);

// A new text holding Text's characters in order without those whose code is
// 0; Text itself is not changed. Null only when no memory is left.
BSTR Strip_Nul(const BSTR &Text);

// Fills Record with the instrument's interface record through a handle of its
// own, closed again before returning. Non-zero when the request completed.
BOOL Get_Pipe_Info(const BSTR &DeviceName, InterfaceRecordBuffer &Record);

// Moves *Length bytes of *Buffer, from index 0, over channel Channel of the
// instrument *DeviceName: a write or a timed read, as the direction of the
// channel's pipe says. Returns kTransferCompleted, with *Length holding the
// bytes moved; kTransferFailed (a failed query or transfer, or the bounds
// error); or kDeviceNotOpened (no instrument, or a null DeviceName or Length).
int32_t Channel_Transfer(BSTR *DeviceName, const int16_t &Channel, SAFEARRAY **Buffer, int32_t *Length);
