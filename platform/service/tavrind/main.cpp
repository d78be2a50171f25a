// tavrind: hosts the kernel, the USB bus, Tavrin.sys and the instruments for
// every program on the machine, as the one Windows kernel does, and serves
// their CreateFileA, DeviceIoControl and CloseHandle over a Unix socket.
#include "listener.h"
#include "service.h"
#include "service_log.h"

#include <host/host.h>

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <signal.h>
#include <unistd.h>

#include <string>

namespace {

// Each client holds a socket and, with the shared channel, three more
// descriptors: the service takes as many as the system lets it.
void RaiseDescriptorLimit(std::size_t clients) {
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) return;
  if (descriptors.rlim_cur < descriptors.rlim_max) {
    descriptors.rlim_cur = descriptors.rlim_max;
    setrlimit(RLIMIT_NOFILE, &descriptors);
  }
  getrlimit(RLIMIT_NOFILE, &descriptors);
  if (descriptors.rlim_cur != RLIM_INFINITY && descriptors.rlim_cur < 4 * clients + 64) {
    service::LogLine("warning: " + std::to_string(descriptors.rlim_cur) + " file descriptors may not serve " +
                     std::to_string(clients) + " clients (each takes up to 4); raise LimitNOFILE");
  }
}

}  // namespace

int main(int argc, char **argv) {
  // Threads come and go with the clients' traffic; an allocator arena of
  // their own each would keep what they freed long after they ended.
  mallopt(M_ARENA_MAX, 2);
  CLI::App app{"The Tavrin instrument service: one kernel for every program.", "tavrind"};
  std::string socketPath;
  int simulate = -1;
  bool foreground = false;
  service::LimitSettings limits;
  std::size_t clientMemoryMiB = limits.bytesInAll >> 20;
  app.add_option("--socket", socketPath,
                 "Listen here (default: $XDG_RUNTIME_DIR/tavrin/kernel.sock, or /run/tavrin/kernel.sock as root)");
  app.add_option("--simulate", simulate, "Attach N simulated instruments")->check(CLI::Range(0, 16));
  app.add_flag("--foreground", foreground, "Stay in the foreground (as under systemd)");
  app.add_option("--max-clients", limits.maxClients, "Serve at most N programs at once (more are refused)")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  app.add_option("--max-client-memory", clientMemoryMiB,
                 "MiB the requests of all programs may hold at once (more are refused)")
      ->check(CLI::Range(1, 1 << 20))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  limits.bytesInAll = clientMemoryMiB << 20;
  RaiseDescriptorLimit(limits.maxClients);

  // Replies to a client that vanished must not stop the service; the stop
  // signals are read from a signalfd by the accept loop, so every thread
  // started from here on has them blocked.
  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  std::string error;
  std::optional<service::Listener> listener = service::OpenListener(socketPath, &error);
  if (!listener) {
    service::LogLine(error);
    return 1;
  }
  // The socket accepts connections before the parent returns, so whoever
  // started the service can use it at once.
  if (!foreground && !listener->path.empty()) {
    pid_t child = fork();
    if (child < 0) {
      service::LogLine("cannot start in the background");
      return 1;
    }
    if (child > 0) {
      service::LogLine("running in the background (pid " + std::to_string(child) + "), logging to syslog");
      return 0;
    }
    setsid();
    // Off the terminal that started it: nothing more is written there.
    service::LogToSyslog();
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
  }

  // Boot returns once the instruments present now are started, and only
  // then are connections accepted: a program that connected earlier (or
  // whose connection started the service by its socket) waits in the
  // socket's backlog and finds every instrument.
  if (simulate >= 0) host::SetSimulatedInstruments(simulate);
  host::Boot();
  service::LogLine("serving " + (listener->path.empty() ? std::string("the socket systemd passed") : listener->path) +
                   " (pid " + std::to_string(getpid()) + ")");
  int status = service::Serve(*listener, limits);
  host::Shutdown();
  service::CloseListener(*listener);
  service::LogLine("stopped");
  return status;
}
