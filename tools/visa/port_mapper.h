// The port mapper (program 100000 version 2) that VXI-11 clients ask for
// the core channel's port: either the system's rpcbind, with which the
// gateway registers, or the gateway's own answer on port 111.
#pragma once

#include "rpc_program.h"

#include <atomic>

namespace visa {

constexpr int kPortMapperPort = 111;

class PortMapper : public RpcProgram {
 public:
  // `corePort`: the core channel's port, once it is bound.
  explicit PortMapper(const std::atomic<int> &corePort) : corePort_(corePort) {}
  std::uint32_t Number() const override;
  std::uint32_t Version() const override;
  std::optional<std::vector<std::uint8_t>> Call(const CallHeader &header, CallDecoder &call,
                                                ConnectionState &state) override;

 private:
  const std::atomic<int> &corePort_;
};

// True when a port mapper answers on this machine's loopback port 111.
bool SystemPortMapperRuns();
// Registers (or withdraws) the core channel's TCP port with it.
bool RegisterCorePort(int port);
void WithdrawCorePort();

}  // namespace visa
