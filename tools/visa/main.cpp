// tavrin-visa: Tavrin instruments as VISA resources on the network, for
// PyVISA, the commercial VISA libraries and LabVIEW: VXI-11
// (TCPIP0::host::inst<n>::INSTR) and raw SCPI sockets
// (TCPIP0::host::<port>::SOCKET). See `tavrin-visa --help`.
#include "allow_list.h"
#include "gateway.h"
#include "gateway_server.h"
#include "instrument_io.h"
#include "log.h"
#include "lxi_discovery.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <sys/signalfd.h>
#include <unistd.h>

int main(int argc, char **argv) {
  using namespace visa;
  CLI::App app{"Offers the Tavrin instruments as VISA resources: VXI-11 devices inst<n> and fmt<n>, and raw SCPI "
               "sockets on port base + n.",
               "tavrin-visa"};
  GatewayOptions options;
  int simulate = -1;
  long idleSeconds = options.idleTimeout.count();
  long silentSeconds = options.silentTimeout.count();
  long lockWaitSeconds = options.socketLockWait.count();
  bool noDiscovery = false;
  app.add_option("--listen", options.listen, "IPv4 or IPv6 address to listen on (0.0.0.0 or \"::\" for every interface)")
      ->capture_default_str();
  app.add_option("--port-base", options.portBase, "Raw socket port of TAVRIN-0; TAVRIN-n is on this + n")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--rpc-port", options.rpcPort, "Port of the VXI-11 core channel (0: any, told by the port mapper)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--allow", options.allow, "Admit clients of this network only (IPv4 or IPv6 CIDR, repeatable)");
  app.add_option("--max-links", options.maxLinks, "Links in total (connections: twice as many)")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  app.add_option("--max-links-per-client", options.maxLinksPerClient, "Links per client address (connections: twice as many)")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  app.add_option("--idle-timeout", idleSeconds,
                 "Seconds after which an idle link or raw socket session is closed (0: never)")
      ->check(CLI::Range(0, 7 * 24 * 3600))
      ->capture_default_str();
  app.add_option("--silent-timeout", silentSeconds,
                 "Seconds after which a connection holding no link, or a raw socket that sent nothing, is closed")
      ->check(CLI::Range(1, 7 * 24 * 3600))
      ->capture_default_str();
  app.add_option("--socket-lock-wait", lockWaitSeconds,
                 "Seconds a raw socket's command waits while a VXI-11 link holds the lock before it is refused")
      ->check(CLI::Range(0, 24 * 3600))
      ->capture_default_str();
  app.add_flag("--no-discovery", noDiscovery, "Do not announce the services through Avahi");
  app.add_option("--simulate", simulate, "Attach N simulated instruments")->check(CLI::Range(0, 10));
  CLI11_PARSE(app, argc, argv);
  options.idleTimeout = std::chrono::seconds(idleSeconds);
  options.silentTimeout = std::chrono::seconds(silentSeconds);
  options.socketLockWait = std::chrono::seconds(lockWaitSeconds);

  std::string bad;
  std::optional<AllowList> allow = AllowList::Parse(options.allow, bad);
  if (!allow) {
    std::fprintf(stderr, "tavrin-visa: --allow %s: not a network (a.b.c.d/len or an IPv6 prefix/len)\n", bad.c_str());
    return 2;
  }
  if (simulate >= 0) setenv("TAVRIN_SIMULATE", std::to_string(simulate).c_str(), 1);

  // Signals end the gateway through a descriptor the accept loop watches.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  std::signal(SIGPIPE, SIG_IGN);

  std::string present;
  for (const std::string &name : InstrumentsPresent()) present += " " + name;
  Log("instruments present:%s", present.empty() ? " none yet" : present.c_str());

  Gateway gateway(options);
  GatewayServer server(gateway, *allow);
  if (!server.Start()) return 1;
  std::optional<LxiDiscovery> discovery;
  if (noDiscovery)
    Log("discovery: not announced (--no-discovery)");
  else if (server.LoopbackOnly())
    Log("discovery: not announced while listening on loopback only");
  else
    discovery.emplace(server.ServesPortMapper(), server.SocketPorts());
  Log("ready");
  server.Run(stopFd);
  Log("stopped");
  close(stopFd);
  return 0;
}
