#include "port_mapper.h"

#include "core_arguments.h"
#include "vxi11_core.h"  // generated from vxi11_core.x

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/pmap_prot.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace visa {

std::uint32_t PortMapper::Number() const { return PMAPPROG; }
std::uint32_t PortMapper::Version() const { return PMAPVERS; }

std::optional<std::vector<std::uint8_t>> PortMapper::Call(const CallHeader &header, CallDecoder &call,
                                                          ConnectionState &) {
  const u_long corePort = static_cast<u_long>(corePort_.load());
  switch (header.procedure) {
    case PMAPPROC_NULL:
      return EncodeResult(header.xid, Routine(XdrNothing), nullptr);
    case PMAPPROC_SET:
    case PMAPPROC_UNSET: {
      // Only the gateway's own program is mapped here; others are refused.
      pmap mapping;
      if (!call.DecodeArguments(Routine(xdr_pmap), &mapping, sizeof mapping)) return std::nullopt;
      bool_t refused = FALSE;
      return EncodeResult(header.xid, Routine(xdr_bool), &refused);
    }
    case PMAPPROC_GETPORT: {
      pmap mapping;
      if (!call.DecodeArguments(Routine(xdr_pmap), &mapping, sizeof mapping)) return std::nullopt;
      u_long port = 0;
      if (mapping.pm_prog == DEVICE_CORE && mapping.pm_vers == DEVICE_CORE_VERSION && mapping.pm_prot == IPPROTO_TCP)
        port = corePort;
      else if (mapping.pm_prog == PMAPPROG && mapping.pm_vers == PMAPVERS &&
               (mapping.pm_prot == IPPROTO_TCP || mapping.pm_prot == IPPROTO_UDP))
        port = kPortMapperPort;
      return EncodeResult(header.xid, Routine(xdr_u_long), &port);
    }
    case PMAPPROC_DUMP: {
      // Itself on both transports, then the core channel, as rpcbind lists.
      pmaplist entries[3] = {};
      entries[0].pml_map = {PMAPPROG, PMAPVERS, IPPROTO_TCP, kPortMapperPort};
      entries[1].pml_map = {PMAPPROG, PMAPVERS, IPPROTO_UDP, kPortMapperPort};
      entries[2].pml_map = {DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, corePort};
      entries[0].pml_next = &entries[1];
      entries[1].pml_next = &entries[2];
      pmaplist *list = &entries[0];
      return EncodeResult(header.xid, Routine(xdr_pmaplist), &list);
    }
    default:
      return EncodeFailure(header.xid, PROC_UNAVAIL);
  }
}

bool SystemPortMapperRuns() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPortMapperPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    connected = poll(&wait, 1, 500) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  close(fd);
  return connected;
}

bool RegisterCorePort(int port) {
  pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);  // a stale entry of an earlier run
  return pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, static_cast<unsigned short>(port));
}

void WithdrawCorePort() { pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION); }

}  // namespace visa
