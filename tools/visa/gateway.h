// What every part of the gateway shares: its options, the instrument locks
// and the budgets of connections and links.
#pragma once

#include "client_budget.h"
#include "device_locks.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace visa {

// The largest RPC record taken from a client: a device_write of the largest
// transfer with its header, credential and verifier.
constexpr std::size_t kMaxRecord = 0xFFFF + 1024;

struct GatewayOptions {
  std::string listen = "127.0.0.1";
  int portBase = 5025;
  int rpcPort = 0;  // 0: any free port, published through the port mapper
  std::vector<std::string> allow;
  std::size_t maxLinks = 64;
  std::size_t maxLinksPerClient = 16;
  std::chrono::seconds idleTimeout{600};
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
  ClientBudget links;
  ClientBudget connections;
  std::atomic<bool> stopping{false};
  std::atomic<std::int32_t> nextLink{1};
  std::atomic<int> corePort{0};
};

}  // namespace visa
