// The cost of reaching the instruments through tavrind instead of the
// embedded kernel. The program starts its own tavrind (one simulated
// instrument, a throw-away socket) and measures, in the same run:
//   - a bare Unix-socket round trip (32 bytes each way, an echo thread), the
//     floor any service on a socket pays;
//   - a NOP device-control request through the service (goal: <= 2x that);
//   - USB_Write through the service, which costs two opens, the interface
//     record query, the write and two closes (goal: <= 30 us per call).
// kernel32 and the service pass these requests through the shared-memory
// channel the service grants each client, not over the socket.
#include "spawn_quietly.h"

#include <Tavrin_570x_Driver.h>
#include <tavrin_ioctl.h>
#include <windows.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// The service for the whole run, started before the first benchmark.
class Service {
 public:
  Service() {
    char pattern[] = "/tmp/tavrind-bench-XXXXXX";
    directory_ = mkdtemp(pattern);
    socket_ = directory_ + "/kernel.sock";
    pid_ = SpawnQuietly({TAVRIND_PROGRAM, "--socket", socket_, "--simulate", "1", "--foreground"});
    setenv("TAVRIN_SERVICE", socket_.c_str(), 1);
    unsetenv("TAVRIN_SIMULATE");
    // Ready once the instrument opens.
    for (int i = 0; i < 2000 && !Opens(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Service() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    rmdir(directory_.c_str());
  }

 private:
  static bool Opens() {
    HANDLE h = CreateFileA("\\\\.\\TAVRIN-0", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
  }
  std::string directory_, socket_;
  pid_t pid_ = -1;
};

Service &TheService() {
  static Service service;
  return service;
}

void Echo(int fd) {
  char buffer[32];
  for (;;) {
    if (recv(fd, buffer, sizeof buffer, MSG_WAITALL) != sizeof buffer) return;
    send(fd, buffer, sizeof buffer, MSG_NOSIGNAL);
  }
}

void PingPong(benchmark::State &state, int fd) {
  char message[32] = {};
  for (auto _ : state) {
    send(fd, message, sizeof message, MSG_NOSIGNAL);
    recv(fd, message, sizeof message, MSG_WAITALL);
  }
}

// The echo in another process, as the service is: the reference for the
// service's round trips.
void BM_UnixSocketRoundTrip(benchmark::State &state) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  pid_t echo = fork();
  if (echo == 0) {
    close(fds[0]);
    Echo(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  PingPong(state, fds[0]);
  close(fds[0]);
  waitpid(echo, nullptr, 0);
}
BENCHMARK(BM_UnixSocketRoundTrip)->UseRealTime();

// The echo on a thread of this process, for comparison: a switch between
// threads of one process is cheaper than between processes.
void BM_UnixSocketRoundTripSameProcess(benchmark::State &state) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  std::thread echo(Echo, fds[1]);
  PingPong(state, fds[0]);
  shutdown(fds[0], SHUT_RDWR);
  echo.join();
  close(fds[0]);
  close(fds[1]);
}
BENCHMARK(BM_UnixSocketRoundTripSameProcess)->UseRealTime();

void BM_ServiceNop(benchmark::State &state) {
  TheService();
  HANDLE h = CreateFileA("\\\\.\\TAVRIN-0", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the service's instrument did not open");
    return;
  }
  DWORD returned = 0;
  for (auto _ : state) {
    if (!DeviceIoControl(h, IOCTL_INSTR_NOP, nullptr, 0, nullptr, 0, &returned, nullptr)) {
      state.SkipWithError("NOP failed");
      break;
    }
  }
  CloseHandle(h);
}
BENCHMARK(BM_ServiceNop)->UseRealTime();

void BM_ServiceUsbWrite(benchmark::State &state) {
  TheService();
  const auto size = static_cast<std::int32_t>(state.range(0));
  std::u16string wide = u"TAVRIN-0";
  BSTR name = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(wide.data()), static_cast<UINT>(wide.size()));
  SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  // Empty command lines, which the instrument takes without answering.
  std::memset(array->pvData, '\n', static_cast<std::size_t>(size));
  std::int64_t calls = 0;
  for (auto _ : state) {
    std::int32_t length = size;
    if (USB_Write(&name, &array, &length) != 1) {
      state.SkipWithError("USB_Write failed");
      break;
    }
    ++calls;
  }
  state.SetBytesProcessed(calls * size);
  SafeArrayDestroy(array);
  SysFreeString(name);
}
BENCHMARK(BM_ServiceUsbWrite)->Arg(1)->Arg(1024)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
