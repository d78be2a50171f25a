#include "lxi_discovery.h"

#include "log.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <unistd.h>

namespace visa {

struct LxiDiscovery::State {
  bool vxi11 = false;
  std::vector<int> socketPorts;
  std::string host;
  AvahiThreadedPoll *poll = nullptr;
  AvahiClient *client = nullptr;
  AvahiEntryGroup *group = nullptr;
};

namespace {

constexpr int kPortMapperPort = 111;

void Publish(AvahiClient *client, LxiDiscovery::State &state) {
  if (state.group == nullptr) state.group = avahi_entry_group_new(client, nullptr, nullptr);
  if (state.group == nullptr) return;
  bool ok = true;
  if (state.vxi11) {
    const std::string name = "Tavrin gateway on " + state.host;
    ok = avahi_entry_group_add_service(state.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                       name.c_str(), "_vxi-11._tcp", nullptr, nullptr, kPortMapperPort,
                                       nullptr) == AVAHI_OK;
  }
  for (int port : state.socketPorts) {
    const std::string name = "Tavrin port " + std::to_string(port) + " on " + state.host;
    ok = ok && avahi_entry_group_add_service(state.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                             name.c_str(), "_scpi-raw._tcp", nullptr, nullptr,
                                             static_cast<std::uint16_t>(port), nullptr) == AVAHI_OK;
  }
  if (!ok || avahi_entry_group_commit(state.group) != AVAHI_OK)
    Log("discovery: Avahi did not take the services: %s", avahi_strerror(avahi_client_errno(client)));
  else
    Log("discovery: announcing _vxi-11._tcp and _scpi-raw._tcp through Avahi");
}

void ClientChanged(AvahiClient *client, AvahiClientState state, void *data) {
  auto &self = *static_cast<LxiDiscovery::State *>(data);
  if (state == AVAHI_CLIENT_S_RUNNING) Publish(client, self);
  if (state == AVAHI_CLIENT_FAILURE) Log("discovery: Avahi stopped: %s", avahi_strerror(avahi_client_errno(client)));
}

}  // namespace

LxiDiscovery::LxiDiscovery(bool vxi11, const std::vector<int> &socketPorts) : state_(std::make_unique<State>()) {
  state_->vxi11 = vxi11;
  state_->socketPorts = socketPorts;
  char host[256] = "this machine";
  gethostname(host, sizeof host - 1);
  state_->host = host;
  state_->poll = avahi_threaded_poll_new();
  if (state_->poll == nullptr) return;
  int error = 0;
  state_->client =
      avahi_client_new(avahi_threaded_poll_get(state_->poll), AvahiClientFlags(0), ClientChanged, state_.get(), &error);
  if (state_->client == nullptr) {
    Log("discovery: no Avahi daemon (%s); services are not announced", avahi_strerror(error));
    return;
  }
  avahi_threaded_poll_start(state_->poll);
}

LxiDiscovery::~LxiDiscovery() {
  if (state_->poll == nullptr) return;
  avahi_threaded_poll_stop(state_->poll);
  if (state_->client != nullptr) avahi_client_free(state_->client);  // frees its groups too
  avahi_threaded_poll_free(state_->poll);
}

}  // namespace visa
