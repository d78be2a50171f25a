#include "allow_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace visa {
namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool SamePrefix(const std::array<std::uint8_t, 16> &a, const std::array<std::uint8_t, 16> &b, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const std::uint8_t mask = bits >= 8 ? 0xFF : static_cast<std::uint8_t>(0xFF << (8 - bits));
    if ((a[static_cast<std::size_t>(i)] & mask) != (b[static_cast<std::size_t>(i)] & mask)) return false;
  }
  return true;
}

std::array<std::uint8_t, 16> Mapped(const in_addr &v4) {
  std::array<std::uint8_t, 16> out{};
  std::memcpy(out.data(), kMappedPrefix, sizeof kMappedPrefix);
  std::memcpy(out.data() + 12, &v4, 4);
  return out;
}

}  // namespace

std::optional<AllowList> AllowList::Parse(const std::vector<std::string> &entries, std::string &bad) {
  AllowList list;
  for (const std::string &entry : entries) {
    const auto slash = entry.find('/');
    const std::string host = entry.substr(0, slash);
    int bits = -1;
    if (slash != std::string::npos) {
      const std::string length = entry.substr(slash + 1);
      if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string::npos) {
        bad = entry;
        return std::nullopt;
      }
      bits = std::stoi(length);
    }
    in_addr v4{};
    in6_addr v6{};
    Network network{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1 && bits <= 32) {
      network = {Mapped(v4), 96 + (bits < 0 ? 32 : bits)};
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1 && bits <= 128) {
      std::memcpy(network.base.data(), &v6, 16);
      network.bits = bits < 0 ? 128 : bits;
    } else {
      bad = entry;
      return std::nullopt;
    }
    list.networks_.push_back(network);
  }
  return list;
}

bool AllowList::Admits(const sockaddr_storage &peer) const {
  if (networks_.empty()) return true;
  Address address{};
  if (peer.ss_family == AF_INET)
    address = Mapped(reinterpret_cast<const sockaddr_in &>(peer).sin_addr);
  else if (peer.ss_family == AF_INET6)
    std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr, 16);
  else
    return false;
  for (const Network &network : networks_)
    if (SamePrefix(address, network.base, network.bits)) return true;
  return false;
}

std::string AddressText(const sockaddr_storage &peer) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(peer).sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
      inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text);
    else
      inet_ntop(AF_INET6, &v6, text, sizeof text);
  }
  return text;
}

}  // namespace visa
