// A raw SCPI socket: the bytes a client sends go to the instrument's command
// channel as they come, and every answer on its interrogative channel goes
// back to the client, ending in a line feed.
#pragma once

#include "gateway.h"

#include <string>

namespace visa {

void ServeRawSocket(int fd, const std::string &peer, int instrument, Gateway &gateway);

}  // namespace visa
