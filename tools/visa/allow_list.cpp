#include "allow_list.h"

#include <arpa/inet.h>

namespace visa {

std::optional<AllowList> AllowList::Parse(const std::vector<std::string> &entries, std::string &bad) {
  AllowList list;
  for (const std::string &entry : entries) {
    const auto slash = entry.find('/');
    const std::string host = entry.substr(0, slash);
    int bits = 32;
    if (slash != std::string::npos) {
      const std::string length = entry.substr(slash + 1);
      if (length.empty() || length.size() > 2 || length.find_first_not_of("0123456789") != std::string::npos) {
        bad = entry;
        return std::nullopt;
      }
      bits = std::stoi(length);
    }
    in_addr address{};
    if (bits > 32 || inet_pton(AF_INET, host.c_str(), &address) != 1) {
      bad = entry;
      return std::nullopt;
    }
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    list.networks_.push_back({ntohl(address.s_addr) & mask, mask});
  }
  return list;
}

bool AllowList::Admits(std::uint32_t address) const {
  if (networks_.empty()) return true;
  const std::uint32_t host = ntohl(address);
  for (const Network &network : networks_)
    if ((host & network.mask) == network.base) return true;
  return false;
}

}  // namespace visa
