// The VXI-11 core channel (program 0x0607AF version 1): links to the
// instruments' channels, writes to the command channel, reads of the reply
// channels, locks, clears and the status byte.
#pragma once

#include "gateway.h"
#include "rpc_program.h"

#include <rpc/rpc.h>

namespace visa {

class Vxi11Core : public RpcProgram {
 public:
  explicit Vxi11Core(Gateway &gateway) : gateway_(gateway) {}
  std::uint32_t Number() const override;
  std::uint32_t Version() const override;
  std::optional<std::vector<std::uint8_t>> Call(const CallHeader &header, CallDecoder &call,
                                                ConnectionState &state) override;
  void Closed(ConnectionState &state) override;

 private:
  Gateway &gateway_;
};

}  // namespace visa
