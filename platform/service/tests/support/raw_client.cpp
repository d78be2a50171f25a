#include "raw_client.h"

#include <tavrin_ioctl.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace raw_client {

namespace wire = service::wire;

int Connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Ask(int fd, wire::FrameReader &reader, const wire::Message &request, std::uint32_t id, wire::Message *reply) {
  if (!wire::SendAll(fd, wire::Encode(request, id))) return false;
  wire::Frame frame;
  std::string error;
  while (reader.Next(&frame, &error) == wire::FrameReader::Result::Frame) {
    if (frame.header.requestId != id) continue;
    *reply = std::move(frame.message);
    return true;
  }
  return false;
}

pid_t StartReadFlood(const std::string &socket, int count) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int fd = Connect(socket);
    wire::FrameReader reader(fd);
    wire::Message reply;
    std::uint32_t handle = 0;
    if (Ask(fd, reader, wire::Hello{}, 1, &reply) && Ask(fd, reader, wire::Open{u"\\??\\TAVRIN-0"}, 2, &reply)) {
      if (auto *opened = std::get_if<wire::OpenReply>(&reply)) handle = opened->handle;
    }
    std::vector<std::uint8_t> frames;
    for (int i = 0; i < count; ++i) {
      wire::Control read;
      read.handle = handle;
      read.code = IOCTL_INSTR_BULK_READ;
      read.outputLength = 64;
      read.input = {1, 0, 0, 0};  // the interrogative pipe
      wire::AppendFrame(read, static_cast<std::uint32_t>(3 + i), &frames);
    }
    wire::SendAll(fd, frames);
    char sent = handle != 0 ? 'y' : 'n';
    ssize_t ignored = write(ready[1], &sent, 1);
    (void)ignored;
    for (;;) pause();
  }
  close(ready[1]);
  char sent = 0;
  ssize_t got = pid > 0 ? read(ready[0], &sent, 1) : -1;
  close(ready[0]);
  if (got == 1 && sent == 'y') return pid;
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return -1;
}

}  // namespace raw_client
