// tavrin-visa as network clients see it, both transports side by side in
// one run. The program starts its own gateway (one simulated instrument,
// loopback, free ports) and measures:
//   - a single client's *IDN? round trip, raw socket and VXI-11 (goal: the
//     raw socket no slower than VXI-11 at the median);
//   - a 4 KiB ECHO round trip on either (goal: under 2 ms);
//   - 20 VXI-11 clients that each lock the instrument around every query,
//     beside 4 raw socket clients querying the same instrument, for
//     TAVRIN_BENCH_LOCKING_SECONDS (60 by default): answers that are not the
//     client's own (goal: none) and the 99th percentile of a locked query
//     from its lock to its unlock (goal: under 5 ms), and of the query
//     alone while the lock is held.
// The VXI-11 client is libtirpc's, over the gateway's own XDR routines.
#include "vxi11_core.h"  // generated from vxi11_core.x

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rpc/rpc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kEnd = 8;
constexpr long kWaitLock = 1;

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// The gateway for the whole run, started before the first benchmark.
class GatewayProcess {
 public:
  GatewayProcess() : rawPort_(FreePort()), rpcPort_(FreePort()) {
    char pattern[] = "/tmp/tavrin-visa-bench-XXXXXX";
    directory_ = mkdtemp(pattern);
    log_ = directory_ + "/gateway.log";
    std::vector<std::string> argv = {TAVRIN_VISA_PROGRAM, "--simulate",    "1",
                                     "--listen",          "127.0.0.1",     "--port-base",
                                     std::to_string(rawPort_), "--rpc-port", std::to_string(rpcPort_),
                                     "--no-discovery"};
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    unsetenv("TAVRIN_SERVICE");
    posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 3000 && Log().find(" ready") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~GatewayProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    unlink(log_.c_str());
    rmdir(directory_.c_str());
  }
  std::string Log() const {
    std::ifstream file(log_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  int RawPort() const { return rawPort_; }
  int RpcPort() const { return rpcPort_; }

 private:
  int rawPort_, rpcPort_;
  std::string directory_, log_;
  pid_t pid_ = -1;
};

GatewayProcess &TheGateway() {
  static GatewayProcess gateway;
  return gateway;
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    throw std::runtime_error("cannot connect to the gateway");
  }
  return fd;
}

// A raw SCPI socket client: a command line out, one answer line back.
class RawClient {
 public:
  RawClient() : fd_(Connect(TheGateway().RawPort())) {}
  ~RawClient() { close(fd_); }
  std::string Query(const std::string &command) {
    const std::string line = command + "\n";
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return {};
    std::string answer;
    while (true) {
      const auto feed = pending_.find('\n');
      if (feed != std::string::npos) {
        answer = pending_.substr(0, feed);
        pending_.erase(0, feed + 1);
        return answer;
      }
      char buffer[8192];
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return {};
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

 private:
  int fd_;
  std::string pending_;
};

// A VXI-11 client with one link to inst0.
class Vxi11Client {
 public:
  Vxi11Client() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(TheGateway().RpcPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socket_ = Connect(TheGateway().RpcPort());
    client_ = clnttcp_create(&address, DEVICE_CORE, DEVICE_CORE_VERSION, &socket_, 0, 0);
    if (client_ == nullptr) throw std::runtime_error("no RPC client");
    Create_LinkParms parms{};
    parms.device = const_cast<char *>("inst0");
    Create_LinkResp resp{};
    Call(create_link, reinterpret_cast<xdrproc_t>(xdr_Create_LinkParms), &parms,
         reinterpret_cast<xdrproc_t>(xdr_Create_LinkResp), &resp);
    if (resp.error != 0) throw std::runtime_error("no link");
    link_ = resp.lid;
  }
  ~Vxi11Client() {
    Device_Error error{};
    Call(destroy_link, reinterpret_cast<xdrproc_t>(xdr_Device_Link), &link_,
         reinterpret_cast<xdrproc_t>(xdr_Device_Error), &error);
    clnt_destroy(client_);
    close(socket_);
  }
  bool Lock() { return Generic(device_lock) == 0; }
  bool Unlock() { return Generic(device_unlock) == 0; }
  // The command with END and no line feed; the answer up to its END.
  std::string Query(const std::string &command) {
    Device_WriteParms write{};
    write.lid = link_;
    write.io_timeout = 5000;
    write.lock_timeout = 5000;
    write.flags = kEnd;
    write.data.data_len = static_cast<u_int>(command.size());
    write.data.data_val = const_cast<char *>(command.data());
    Device_WriteResp written{};
    if (!Call(device_write, reinterpret_cast<xdrproc_t>(xdr_Device_WriteParms), &write,
              reinterpret_cast<xdrproc_t>(xdr_Device_WriteResp), &written) ||
        written.error != 0)
      return {};
    std::string answer;
    while (true) {
      Device_ReadParms read{};
      read.lid = link_;
      read.requestSize = 65535;
      read.io_timeout = 5000;
      read.lock_timeout = 5000;
      Device_ReadResp got{};
      if (!Call(device_read, reinterpret_cast<xdrproc_t>(xdr_Device_ReadParms), &read,
                reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), &got))
        return {};
      answer.append(got.data.data_val, got.data.data_len);
      const bool ended = got.error != 0 || (got.reason & 4) != 0;
      xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), reinterpret_cast<char *>(&got));
      if (ended) break;
    }
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
  }

 private:
  bool Call(u_long procedure, xdrproc_t encode, void *arguments, xdrproc_t decode, void *result) {
    timeval timeout{10, 0};
    return clnt_call(client_, procedure, encode, static_cast<char *>(arguments), decode,
                     static_cast<char *>(result), timeout) == RPC_SUCCESS;
  }
  long Generic(u_long procedure) {
    Device_Error error{};
    if (procedure == device_unlock) {
      Call(procedure, reinterpret_cast<xdrproc_t>(xdr_Device_Link), &link_,
           reinterpret_cast<xdrproc_t>(xdr_Device_Error), &error);
    } else {
      Device_LockParms parms{link_, kWaitLock, 10000};
      Call(procedure, reinterpret_cast<xdrproc_t>(xdr_Device_LockParms), &parms,
           reinterpret_cast<xdrproc_t>(xdr_Device_Error), &error);
    }
    return error.error;
  }

  int socket_ = -1;
  CLIENT *client_ = nullptr;
  Device_Link link_ = 0;
};

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

// One client's round trips; the counters carry the median and 99th
// percentile in microseconds and the answers that were wrong.
template <typename Client>
void RoundTrips(benchmark::State &state, const std::string &command, const std::string &expected) {
  TheGateway();
  Client client;
  std::vector<double> micros;
  long wrong = 0;
  for (auto _ : state) {
    const auto started = Clock::now();
    const std::string answer = client.Query(command);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started).count());
    if (expected.empty() ? answer.rfind("TAVRIN,570x,", 0) != 0 : answer != expected) ++wrong;
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.counters["wrong"] = static_cast<double>(wrong);
}

void BM_GatewayIdentity(benchmark::State &state) {
  if (state.range(0) == 0)
    RoundTrips<RawClient>(state, "*IDN?", "");
  else
    RoundTrips<Vxi11Client>(state, "*IDN?", "");
}
BENCHMARK(BM_GatewayIdentity)->ArgName("vxi11")->Arg(0)->Arg(1)->Iterations(2000)->UseRealTime();

void BM_GatewayEcho4KiB(benchmark::State &state) {
  const std::string text(4096, 'e');
  if (state.range(0) == 0)
    RoundTrips<RawClient>(state, "ECHO " + text, text);
  else
    RoundTrips<Vxi11Client>(state, "ECHO " + text, text);
}
BENCHMARK(BM_GatewayEcho4KiB)->ArgName("vxi11")->Arg(0)->Arg(1)->Iterations(1000)->UseRealTime();

void BM_GatewayLockingClients(benchmark::State &state) {
  TheGateway();
  const char *chosen = std::getenv("TAVRIN_BENCH_LOCKING_SECONDS");
  const auto length = std::chrono::seconds(chosen ? std::max(1, std::atoi(chosen)) : 60);
  constexpr int kLockers = 20;
  constexpr int kRawClients = 4;
  for (auto _ : state) {
    std::atomic<long> wrong{0}, queries{0}, rawQueries{0}, rawRefused{0};
    std::vector<std::vector<double>> millis(kLockers), inside(kLockers);
    const auto until = Clock::now() + length;
    std::vector<std::thread> threads;
    for (int i = 0; i < kLockers; ++i) {
      threads.emplace_back([&, i] {
        Vxi11Client client;
        for (long n = 0; Clock::now() < until; ++n) {
          const std::string mine = "locker " + std::to_string(i) + " " + std::to_string(n);
          const auto started = Clock::now();
          client.Lock();
          const auto locked = Clock::now();
          const std::string answer = client.Query("ECHO " + mine);
          inside[static_cast<std::size_t>(i)].push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - locked).count());
          client.Unlock();
          millis[static_cast<std::size_t>(i)].push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - started).count());
          if (answer != mine) ++wrong;
          ++queries;
        }
      });
    }
    for (int i = 0; i < kRawClients; ++i) {
      threads.emplace_back([&, i] {
        auto client = std::make_unique<RawClient>();
        for (long n = 0; Clock::now() < until; ++n) {
          const std::string mine = "raw " + std::to_string(i) + " " + std::to_string(n);
          const std::string answer = client->Query("ECHO " + mine);
          if (answer.empty()) {
            // Refused after waiting out the bound for the lock: a new socket.
            ++rawRefused;
            client = std::make_unique<RawClient>();
          } else if (answer != mine) {
            ++wrong;
          }
          ++rawQueries;
        }
      });
    }
    for (auto &thread : threads) thread.join();
    std::vector<double> all, held;
    for (auto &one : millis) all.insert(all.end(), one.begin(), one.end());
    for (auto &one : inside) held.insert(held.end(), one.begin(), one.end());
    state.counters["wrong"] = static_cast<double>(wrong.load());
    state.counters["locked_queries"] = static_cast<double>(queries.load());
    state.counters["raw_queries"] = static_cast<double>(rawQueries.load());
    state.counters["raw_refused"] = static_cast<double>(rawRefused.load());
    state.counters["p50_ms"] = Percentile(all, 0.50);
    state.counters["p99_ms"] = Percentile(all, 0.99);
    // The query alone, between the lock and the unlock.
    state.counters["held_p50_ms"] = Percentile(held, 0.50);
    state.counters["held_p99_ms"] = Percentile(held, 0.99);
    state.counters["seconds"] = static_cast<double>(length.count());
  }
}
BENCHMARK(BM_GatewayLockingClients)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
