// Serves ONC RPC calls on one TCP connection until the client closes it, it
// idles out, the gateway stops, or the client sends a message that is
// malformed, truncated or larger than the gateway accepts.
#pragma once

#include "gateway.h"
#include "rpc_program.h"

#include <string>
#include <vector>

namespace visa {

void ServeRpcConnection(int fd, const std::string &peer, const std::vector<RpcProgram *> &programs,
                        Gateway &gateway, bool abortChannel = false);

}  // namespace visa
