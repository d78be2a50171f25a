#include "client_budget.h"

namespace visa {

bool ClientBudget::Take(const std::string &client) {
  std::lock_guard lock(mutex_);
  std::size_t &mine = byClient_[client];
  if (used_ >= total_ || mine >= perClient_) {
    if (mine == 0) byClient_.erase(client);
    return false;
  }
  ++used_;
  ++mine;
  return true;
}

void ClientBudget::Give(const std::string &client) {
  std::lock_guard lock(mutex_);
  auto it = byClient_.find(client);
  if (it == byClient_.end()) return;
  --used_;
  if (--it->second == 0) byClient_.erase(it);
}

bool ClientBudget::Holds(const std::string &client) {
  std::lock_guard lock(mutex_);
  return byClient_.contains(client);
}

}  // namespace visa
