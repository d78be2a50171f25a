// The client addresses the gateway serves: IPv4 networks given as CIDR
// ("192.168.1.0/24", or one address). An empty list admits every client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace visa {

class AllowList {
 public:
  // nullopt, with the offending entry in `bad`, when an entry is not CIDR.
  static std::optional<AllowList> Parse(const std::vector<std::string> &entries, std::string &bad);
  // `address` in network byte order.
  bool Admits(std::uint32_t address) const;

 private:
  struct Network {
    std::uint32_t base;  // host byte order
    std::uint32_t mask;
  };
  std::vector<Network> networks_;
};

}  // namespace visa
