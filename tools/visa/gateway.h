// What every part of the gateway shares: its options, the instrument locks
// and the budgets of connections and links.
#pragma once

#include "abort_channel.h"
#include "client_budget.h"
#include "device_locks.h"
#include "shared_instrument.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace visa {

struct GatewayOptions {
  std::string listen = "127.0.0.1";
  int portBase = 5025;
  int rpcPort = 0;  // 0: any free port, published through the port mapper
  std::vector<std::string> allow;
  // A bench PC runs dozens of sessions; each holds a link and a connection.
  std::size_t maxLinks = 256;
  std::size_t maxLinksPerClient = 64;
  // Connections holding links (and raw sockets that have spoken) are closed
  // for idleness only when this is set; 0: never.
  std::chrono::seconds idleTimeout{0};
  // Connections that hold no link, and raw sockets that have sent nothing,
  // are closed after this long without a byte.
  std::chrono::seconds silentTimeout{10};
  // How long a raw socket's command waits while a VXI-11 link holds the
  // instrument's lock before it is refused.
  std::chrono::seconds socketLockWait{10};
  bool advertise = true;
};

struct Gateway {
  explicit Gateway(const GatewayOptions &chosen)
      : options(chosen),
        links(chosen.maxLinks, chosen.maxLinksPerClient),
        // A VXI-11 client holds one connection per link, and briefly one
        // more for its port mapper query.
        connections(2 * chosen.maxLinks, 2 * chosen.maxLinksPerClient) {}

  GatewayOptions options;
  DeviceLocks locks;
  SharedInstruments instruments;
  ClientBudget links;
  ClientBudget connections;
  std::atomic<bool> stopping{false};
  std::atomic<std::int32_t> nextLink{1};
  std::atomic<int> corePort{0};
  std::atomic<int> abortPort{0};  // 0: no abort channel
  LinkDirectory linkDirectory;
};

}  // namespace visa
