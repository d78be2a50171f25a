// The gateway's sockets: the VXI-11 core channel, the port mapper (its own
// on port 111, or the system's rpcbind), and one raw SCPI socket per
// instrument number; one thread per client connection.
#pragma once

#include "allow_list.h"
#include "core_channel.h"
#include "gateway.h"
#include "port_mapper.h"

#include <sys/socket.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace visa {

// Raw sockets are offered for the instrument numbers the driver's slots give
// names to: TAVRIN-0 ... TAVRIN-9.
constexpr int kSocketInstruments = 10;

class GatewayServer {
 public:
  GatewayServer(Gateway &gateway, AllowList allow);
  ~GatewayServer();
  GatewayServer(const GatewayServer &) = delete;
  GatewayServer &operator=(const GatewayServer &) = delete;

  // Opens every socket and says in the log what it offers. False when the
  // core channel cannot be offered at all.
  bool Start();
  // Accepts clients until `stopFd` becomes readable, then ends every
  // connection and waits for their threads.
  void Run(int stopFd);
  std::vector<int> SocketPorts() const;
  bool ServesPortMapper() const { return ownPortMapper_ || registered_; }
  // True when only this machine can reach the gateway.
  bool LoopbackOnly() const;

 private:
  enum class Kind { Core, Abort, PortMapperStream, PortMapperDatagram, RawSocket };
  struct Listener {
    int fd;
    Kind kind;
    int instrument;
  };
  struct Worker {
    std::thread thread;
    int fd = -1;
    std::atomic<bool> done{false};
  };

  bool ParseListenAddress();
  int Bind(int type, int port, const sockaddr_storage &where);
  int BindDiscoverableDatagram();
  void Accept(const Listener &listener);
  void AnswerDatagram(int fd);
  void Reap(bool all);

  Gateway &gateway_;
  AllowList allow_;
  sockaddr_storage listen_{};
  // The port mapper's datagrams when it listens on one IPv4 address: taken
  // on every address, answered only when sent to it or broadcast on its
  // interface.
  bool datagramFiltered_ = false;
  int listenInterface_ = 0;
  std::uint32_t broadcast_ = 0;  // network byte order
  Vxi11Core core_;
  AbortChannel abort_;
  PortMapper portMapper_;
  std::vector<Listener> listeners_;
  bool ownPortMapper_ = false;
  bool registered_ = false;
  std::mutex workersMutex_;
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace visa
