// An ONC RPC program served by the gateway, and the dispatch of one call
// record to the program it names.
#pragma once

#include "rpc_message.h"
#include "vxi11_link.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace visa {

class InterruptChannel;

// What one client connection holds between its calls.
struct ConnectionState {
  std::string peer;  // the client's address, for budgets and the log
  std::map<std::int32_t, Vxi11Link> links;
  // An abort channel connection stays while its client holds links elsewhere.
  bool abortChannel = false;
  // The client's interrupt channel, once create_intr_chan made it.
  std::shared_ptr<InterruptChannel> interrupts;
};

class RpcProgram {
 public:
  virtual ~RpcProgram() = default;
  virtual std::uint32_t Number() const = 0;
  virtual std::uint32_t Version() const = 0;
  // Runs one call. nullopt: the arguments did not decode.
  virtual std::optional<std::vector<std::uint8_t>> Call(const CallHeader &header, CallDecoder &call,
                                                        ConnectionState &state) = 0;
  // The connection has ended: give back what it held.
  virtual void Closed(ConnectionState &) {}
};

// The reply to one record. `closeAfter` is set, with the reason, when the
// record was malformed: the reply (if any) is the last on the connection.
struct Dispatched {
  std::vector<std::uint8_t> reply;
  bool closeAfter = false;
  std::string problem;
};
Dispatched DispatchCall(const std::vector<std::uint8_t> &record, const std::vector<RpcProgram *> &programs,
                        ConnectionState &state);

}  // namespace visa
