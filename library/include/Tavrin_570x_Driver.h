/* Tavrin_570x_Driver: the device-access library of the Tavrin 570x
 * instruments, for C and C++ clients.
 *
 * An instrument is known by its device name, "TAVRIN-" followed by a decimal
 * number from 0 to 31. Every call opens the instrument, does its work and
 * closes it again; the library keeps nothing between calls.
 *
 * Texts are OLE Automation strings (BSTR); a returned text is a new string
 * that the caller frees with SysFreeString. Transfer buffers are
 * one-dimensional arrays of bytes (SAFEARRAY) that contain index 0; the
 * transfer uses the bytes from index 0 upward.
 */
#ifndef TAVRIN_570X_DRIVER_H
#define TAVRIN_570X_DRIVER_H

#include <windows.h>
#include <oleauto.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(TAVRIN_570X_DRIVER_BUILDING)
#define TAVRIN_570X_API __declspec(dllexport)
#else
#define TAVRIN_570X_API __declspec(dllimport)
#endif
#else
#define TAVRIN_570X_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Channel transfers ---------------------------------------------------
 * DeviceName: the bare device name, never changed.
 * Buffer: the caller's array; locked for the duration of the call.
 * Length: on entry the bytes to send (USB_Write) or the room offered
 * (the reads), at most the bytes from index 0 to the array's end; after a
 * completed request the bytes moved.
 *
 * A missing array, an array of more than one dimension, of elements other
 * than single bytes or without index 0, and a negative length or one beyond
 * the array's end are refused before any transfer request: the call returns
 * 0 and the length is left as it was. */

/* Sends Length bytes on the command channel. Returns 1 when the request
 * completed, 0 when it or the instrument's interface query failed (or the
 * buffer was refused), -2 when the instrument could not be opened (also for
 * a null DeviceName or Length). */
TAVRIN_570X_API int32_t WINAPI USB_Write(BSTR *DeviceName, SAFEARRAY **Buffer, int32_t *Length);

/* Reads at most Length bytes from the interrogative channel (the answers to
 * queries) or from the formatted channel. Returns the bytes received, also
 * left in Length, or 0 when nothing was received or the read failed in any
 * way (including an instrument that cannot be opened). An idle channel is
 * given up on at once. */
TAVRIN_570X_API int32_t WINAPI USB_Read_Interrogative(BSTR *DeviceName, SAFEARRAY **Buffer, int32_t *Length);
TAVRIN_570X_API int32_t WINAPI USB_Read_Formatted(BSTR *DeviceName, SAFEARRAY **Buffer, int32_t *Length);

/* ---- Discovery -----------------------------------------------------------
 * Instruments are found by trying to open "TAVRIN-0" to "TAVRIN-31" in
 * ascending order. */

/* The name of the lowest-numbered instrument present, or the empty text. */
TAVRIN_570X_API BSTR WINAPI USB_Get_First_DeviceName(void);

/* Every present instrument's name followed by "\r\n", in ascending order;
 * the empty text when none is present. */
TAVRIN_570X_API BSTR WINAPI USB_Get_ALL_Available_DeviceName(void);

#ifdef __cplusplus
}
#endif

#endif /* TAVRIN_570X_DRIVER_H */
