// LXI discovery: the gateway's services announced through the Avahi daemon
// (_vxi-11._tcp on the port mapper's port, _scpi-raw._tcp per raw socket).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace visa {

class LxiDiscovery {
 public:
  // Starts announcing; without an Avahi daemon it says so once in the log
  // and does nothing.
  LxiDiscovery(bool vxi11, const std::vector<int> &socketPorts);
  ~LxiDiscovery();
  LxiDiscovery(const LxiDiscovery &) = delete;
  LxiDiscovery &operator=(const LxiDiscovery &) = delete;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace visa
