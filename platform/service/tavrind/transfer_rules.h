// What the service does per control code beyond passing it to the driver:
// which output bytes travel back to the caller, and which requests are
// answered at once by the driver so that they may run on the thread that
// reads the client's messages.
#pragma once

#include <cstdint>

namespace service {

// The leading bytes of the output buffer that the caller takes over.
std::uint32_t BytesReturned(std::uint32_t code, std::uint32_t outputLength, std::uint64_t information);
// True for codes the driver completes without waiting for the device.
bool CompletesWithoutWaiting(std::uint32_t code);

}  // namespace service
