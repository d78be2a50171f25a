// What the service does per control code beyond passing it to the driver:
// which output bytes travel back to the caller, and which requests end
// within milliseconds, so that they may run on the thread that reads the
// client's messages instead of waking a worker.
#pragma once

#include <cstdint>

namespace service {

// The leading bytes of the output buffer that the caller takes over: none
// of a request that failed, so a reply is never larger than what the driver
// gave back.
std::uint32_t BytesReturned(std::uint32_t code, std::int32_t status, std::uint32_t outputLength,
                            std::uint64_t information);
// True for codes the driver completes without waiting for the device, and
// for the two that wait at most briefly: a bulk write (the device takes or
// refuses the data) and the timed bulk read (given up after 1 ms).
bool EndsPromptly(std::uint32_t code);

}  // namespace service
