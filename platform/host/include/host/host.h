// The embedded host: boots the embedded Windows system inside this process,
// plays its Plug and Play manager, and lets tests and tools attach and detach
// USB devices, inspect them and wait for Plug and Play to settle.
#pragma once

#include <ntddk.h>
#include <usb/device_model.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define HOST_API __attribute__((visibility("default")))

namespace host {

using DeviceId = std::uint32_t;

// Brings the system up once: loads the bus driver and attaches the simulated
// instruments that TAVRIN_SIMULATE (or SetSimulatedInstruments) asks for.
// Runs by itself on the first CreateFileA; safe to call from any thread.
HOST_API void Boot();

// Attaches the real USB instruments (through libusb) plugged in now, and
// those plugged in later as they arrive; returns once those present now are
// started. Boot calls it unless simulated instruments are asked for; a
// program that boots otherwise may call it. Calling it again does nothing.
HOST_API void AttachRealDevices();
// Why no instrument is there, for the user: the identifiers looked for, and
// each matching device libusb saw but could not open (with the missing udev
// rule, group or permission).
HOST_API std::string NoInstrumentHint();

// Sets how many substitute instruments boot attaches, overriding
// TAVRIN_SIMULATE; for programs that take the number on their command line.
HOST_API void SetSimulatedInstruments(int count);

// The function driver loaded for each attached device. Unless one is set,
// the host loads "Tavrin.sys" from its own directory when it is there.
HOST_API void SetFunctionDriver(std::u16string name, PDRIVER_INITIALIZE entry);

// Plugs a device in and returns once Plug and Play has started it (add-
// device, start, capabilities), or failed to.
HOST_API DeviceId Attach(std::shared_ptr<usb::DeviceModel> model);
// Pulls a device's cable: surprise removal now, removal once the last handle
// to it is closed. Returns when that much has been done. Once it has left,
// the host forgets it: its id names no device any more.
HOST_API void Detach(DeviceId id);

// What Windows sends to rebalance resources: query-stop, stop, then start
// again. Returns the start's status, or the status of the query-stop that
// the stack refused (the device is then not stopped).
HOST_API NTSTATUS StopAndRestart(DeviceId id);
// A system sleep and wake as the power manager sends it: query-power and
// set-power for the sleeping state S3 with the device in D3, then set-power
// back to S0 and D0. Returns the first failure, else success.
HOST_API NTSTATUS SleepAndWake(DeviceId id);

// Waits until no Plug and Play work is due now.
HOST_API void WaitForPnp();
// Waits until the device is present (plugged in and started) or gone, as
// asked; false when `timeout` passed first.
HOST_API bool WaitUntilPresent(DeviceId id, bool present, std::chrono::milliseconds timeout);

HOST_API std::vector<DeviceId> Devices();
HOST_API std::shared_ptr<usb::DeviceModel> Model(DeviceId id);
// The device's physical device object and the top of its stack (null when
// it is not plugged in).
HOST_API PDEVICE_OBJECT PhysicalDevice(DeviceId id);
HOST_API PDEVICE_OBJECT TopDevice(DeviceId id);
// Whether the start request succeeded.
HOST_API bool Started(DeviceId id);
// Handles open on the device.
HOST_API std::size_t OpenHandles(DeviceId id);

// Removes every device and unloads the drivers; the verifier stops the
// process if a driver leaves pool behind. Boot may run again afterwards.
HOST_API void Shutdown();

}  // namespace host
