// Counts what clients hold (connections, links) in total and per client
// address, and refuses more than the limits.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace visa {

class ClientBudget {
 public:
  ClientBudget(std::size_t total, std::size_t perClient) : total_(total), perClient_(perClient) {}
  // False (and nothing taken) when the total or the client's share is used up.
  bool Take(const std::string &client);
  void Give(const std::string &client);
  // True while the client holds any.
  bool Holds(const std::string &client);

 private:
  std::mutex mutex_;
  std::size_t total_;
  std::size_t perClient_;
  std::size_t used_ = 0;
  std::map<std::string, std::size_t> byClient_;
};

}  // namespace visa
