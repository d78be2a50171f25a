// The client addresses the gateway serves: networks given as CIDR, IPv4
// ("192.168.1.0/24", or one address) or IPv6 ("fd00:1::/64"). An empty list
// admits every client. An IPv4 client reaching an IPv6 socket (::ffff:a.b.c.d)
// is judged by its IPv4 address.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace visa {

class AllowList {
 public:
  // nullopt, with the offending entry in `bad`, when an entry is not CIDR.
  static std::optional<AllowList> Parse(const std::vector<std::string> &entries, std::string &bad);
  bool Admits(const sockaddr_storage &peer) const;

 private:
  // Every address as IPv6; IPv4 ones as ::ffff:a.b.c.d.
  using Address = std::array<std::uint8_t, 16>;
  struct Network {
    Address base;
    int bits;
  };
  std::vector<Network> networks_;
};

// The peer's address as text: a.b.c.d for IPv4 (also when it reached an IPv6
// socket), the IPv6 text otherwise.
std::string AddressText(const sockaddr_storage &peer);

}  // namespace visa
