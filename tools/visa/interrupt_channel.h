// A client's VXI-11 interrupt channel: the gateway's own RPC connection to
// the client's interrupt server, made by create_intr_chan. Links that enabled
// service requests (device_enable_srq) are watched after each of their
// writes; once the answer is available (the status byte's message-available
// bit, as an IEEE 488.2 instrument signals it), device_intr_srq carries the
// link's handle to the client.
#pragma once

#include "shared_instrument.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace visa {

class InterruptChannel {
 public:
  // Connects to the client's interrupt server: `peer` is the address the
  // client's core connection came from (the gateway calls back no other
  // machine), `port`, `program` and `version` what create_intr_chan named.
  // nullptr, with the reason, when it cannot be reached.
  static std::unique_ptr<InterruptChannel> Open(const std::string &peer, int port, std::uint32_t program,
                                                std::uint32_t version, SharedInstruments &instruments,
                                                std::string &problem);
  ~InterruptChannel();
  InterruptChannel(const InterruptChannel &) = delete;
  InterruptChannel &operator=(const InterruptChannel &) = delete;

  void Enable(std::int32_t link, int instrument, PartyId party, std::string handle);
  void Disable(std::int32_t link);
  // The link wrote a command: its answer is watched for.
  void Arm(std::int32_t link);

 private:
  InterruptChannel(int fd, std::uint32_t program, std::uint32_t version, SharedInstruments &instruments);
  struct Watched {
    int instrument;
    PartyId party;
    std::string handle;
    bool armed = false;
  };
  void Watch();
  bool SendRequest(const std::string &handle);

  const int fd_;
  const std::uint32_t program_;
  const std::uint32_t version_;
  SharedInstruments &instruments_;
  std::uint32_t xid_ = 1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::int32_t, Watched> links_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace visa
