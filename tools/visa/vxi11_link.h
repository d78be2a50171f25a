// A VXI-11 link: one client's way to one channel of one instrument, with the
// part of an answer it has read from the instrument but not yet been given.
#pragma once

#include "shared_instrument.h"

#include <cstdint>
#include <optional>
#include <string>

namespace visa {

struct Vxi11Link {
  std::int32_t id = 0;
  int instrument = 0;
  int channel = 0;  // kInterrogative, or kFormatted for the read-only fmt<n>
  PartyId party = 0;  // its place among the instrument's parties (kInterrogative only)
  std::string pending;
  bool pendingEndsAnswer = false;  // the last pending byte ends an answer
  std::optional<std::string> srqHandle;  // service requests enabled, with this handle
};

// Reasons a device_read ended, as the VXI-11 standard numbers them.
constexpr std::int32_t kReasonRequestCount = 1;
constexpr std::int32_t kReasonTermChar = 2;
constexpr std::int32_t kReasonEnd = 4;

struct ReadPiece {
  std::string data;
  std::int32_t reason = 0;
};
// Gives up to `requestSize` pending bytes, stopping after the termination
// character when `termChar` is set; the reason tells why it stopped.
ReadPiece TakePending(Vxi11Link &link, std::size_t requestSize, bool termCharSet, char termChar);

// Parses "inst<n>" (interrogative channel) or "fmt<n>" (formatted channel),
// any letter case, n a decimal instrument number. False for anything else.
bool ParseDeviceName(const std::string &name, int &instrument, int &channel);

}  // namespace visa
