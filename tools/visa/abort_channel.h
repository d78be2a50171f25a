// The VXI-11 abort channel (program 0x0607B0 version 1): device_abort ends
// the device_read a link is blocked in, at once, from another connection.
// Links are found by id in the directory the core channel keeps.
#pragma once

#include "rpc_program.h"
#include "shared_instrument.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace visa {

// Where every open link of the interrogative channel is: its instrument and
// its place among the instrument's parties.
class LinkDirectory {
 public:
  void Add(std::int32_t link, int instrument, PartyId party);
  void Remove(std::int32_t link);
  // False when no such link is open.
  bool Interrupt(std::int32_t link, SharedInstruments &instruments);

 private:
  struct Place {
    int instrument;
    PartyId party;
  };
  std::mutex mutex_;
  std::map<std::int32_t, Place> links_;
};

class AbortChannel : public RpcProgram {
 public:
  AbortChannel(LinkDirectory &directory, SharedInstruments &instruments)
      : directory_(directory), instruments_(instruments) {}
  std::uint32_t Number() const override;
  std::uint32_t Version() const override;
  std::optional<std::vector<std::uint8_t>> Call(const CallHeader &header, CallDecoder &call,
                                                ConnectionState &state) override;

 private:
  LinkDirectory &directory_;
  SharedInstruments &instruments_;
};

}  // namespace visa
