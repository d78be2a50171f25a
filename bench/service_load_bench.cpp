// What tavrind holds under many clients and how fast it lets go of them.
// Each benchmark starts its own tavrind (one simulated instrument, a
// throw-away socket, --max-clients 10000) and speaks the wire protocol
// itself, so that this process can hold thousands of connections:
//   - 10,000 idle connections (greeted, nothing outstanding): the service's
//     resident memory meanwhile (goal <= 100 MB) and the time a new client
//     takes from connecting to its first answer (goal <= 5 ms);
//   - 2,000 clients holding the shared channel (goal <= 150 MB);
//   - a client killed with 1,000 requests in flight: the time until its
//     handle is closed (goal <= 100 ms);
// and after each, the service's memory against its baseline (goal <= 1.5x)
// and its threads and descriptors against theirs. The figures are counters
// of one iteration each.
#include "spawn_quietly.h"

#include <raw_client.h>

#include <frame_stream.h>
#include <tavrin_ioctl.h>
#include <wire_protocol.h>

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace wire = service::wire;
using raw_client::Ask;
using raw_client::Connect;
using raw_client::StartReadFlood;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A tavrind of this benchmark's own, and what /proc says of it.
class Service {
 public:
  Service() {
    char pattern[] = "/tmp/tavrind-load-XXXXXX";
    directory_ = mkdtemp(pattern);
    socket_ = directory_ + "/kernel.sock";
    pid_ = SpawnQuietly({TAVRIND_PROGRAM, "--socket", socket_, "--simulate", "1", "--foreground", "--max-clients",
                         "10000"});
    for (int i = 0; i < 2000 && Query() < 0; ++i) std::this_thread::sleep_for(10ms);
  }
  ~Service() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    rmdir(directory_.c_str());
  }

  const std::string &socket() const { return socket_; }

  // A new client's first answer: connect, greet, open the instrument, read
  // its interface record; milliseconds, or -1 when it failed.
  double Query() const {
    auto start = Clock::now();
    int fd = Connect(socket_);
    if (fd < 0) return -1;
    wire::FrameReader reader(fd);
    wire::Message reply;
    bool ok = Ask(fd, reader, wire::Hello{}, 1, &reply) &&
              Ask(fd, reader, wire::Open{u"\\??\\TAVRIN-0"}, 2, &reply);
    auto *opened = ok ? std::get_if<wire::OpenReply>(&reply) : nullptr;
    ok = opened != nullptr && opened->status == 0;
    if (ok) {
      wire::Control record;
      record.handle = opened->handle;
      record.code = IOCTL_INSTR_GET_INTERFACE_RECORD;
      record.outputLength = 256;
      ok = Ask(fd, reader, record, 3, &reply) && std::holds_alternative<wire::ControlReply>(reply);
    }
    double took = MillisecondsSince(start);
    close(fd);
    return ok ? took : -1;
  }

  // Handles open on the instrument, by the service's census.
  int OpenHandles() const {
    int fd = Connect(socket_);
    if (fd < 0) return -1;
    wire::FrameReader reader(fd);
    wire::Message reply;
    int handles = -1;
    if (Ask(fd, reader, wire::Hello{}, 1, &reply) && Ask(fd, reader, wire::Census{}, 2, &reply)) {
      auto *census = std::get_if<wire::CensusReply>(&reply);
      if (census != nullptr && !census->instruments.empty()) handles = static_cast<int>(census->instruments[0].openHandles);
    }
    close(fd);
    return handles;
  }

  double ResidentMb() const { return StatusField("VmRSS:") / 1024.0; }
  long Threads() const { return StatusField("Threads:"); }
  long Descriptors() const {
    long count = 0;
    if (DIR *fds = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str())) {
      while (dirent *entry = readdir(fds)) count += entry->d_name[0] != '.';
      closedir(fds);
    }
    return count;
  }

  // Waits until the service holds as many threads and descriptors as
  // `threads` and `descriptors` (it lets go of a client shortly after the
  // client leaves); true when it did within 10 s.
  bool SettlesTo(long threads, long descriptors) const {
    for (auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
      if (Threads() <= threads && Descriptors() <= descriptors) return true;
    }
    return false;
  }

 private:
  long StatusField(const char *name) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(name, 0) == 0) return std::strtol(line.c_str() + std::strlen(name), nullptr, 10);
    }
    return -1;
  }

  std::string directory_, socket_;
  pid_t pid_ = -1;
};

// What the service holds with no client, to compare each campaign's end to.
struct Baseline {
  double residentMb;
  long threads;
  long descriptors;
};

Baseline TakeBaseline(const Service &service) {
  std::this_thread::sleep_for(200ms);  // the clients of the start-up have left
  return {service.ResidentMb(), service.Threads(), service.Descriptors()};
}

void ReportReturn(benchmark::State &state, const Service &service, const Baseline &baseline) {
  bool settled = service.SettlesTo(baseline.threads, baseline.descriptors);
  // The service gives freed memory back within a second or two of quiet.
  for (auto end = Clock::now() + 5s; Clock::now() < end && service.ResidentMb() > 1.5 * baseline.residentMb;) {
    std::this_thread::sleep_for(50ms);
  }
  state.counters["baseline_rss_mb"] = baseline.residentMb;
  state.counters["rss_after_x_baseline"] = service.ResidentMb() / baseline.residentMb;
  state.counters["threads_over_baseline"] = static_cast<double>(service.Threads() - baseline.threads);
  state.counters["fds_over_baseline"] = static_cast<double>(service.Descriptors() - baseline.descriptors);
  state.counters["settled"] = settled ? 1 : 0;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Greets the service on `count` new connections; their descriptors (and
// with `attach`, the shared channel's three per connection) are added to `held`.
bool Greet(const Service &service, int count, bool attach, std::vector<int> *held) {
  for (int i = 0; i < count; ++i) {
    int fd = Connect(service.socket());
    if (fd < 0) return false;
    held->push_back(fd);
    wire::FrameReader reader(fd, attach);
    wire::Message reply;
    if (!Ask(fd, reader, wire::Hello{}, 1, &reply)) return false;
    if (attach) {
      if (!Ask(fd, reader, wire::Attach{}, 2, &reply)) return false;
      for (int passed : reader.TakeDescriptors()) held->push_back(passed);
    }
  }
  return true;
}

void CloseAll(std::vector<int> *held) {
  for (int fd : *held) close(fd);
  held->clear();
}

void BM_IdleConnections(benchmark::State &state) {
  RaiseDescriptorLimit();
  for (auto _ : state) {
    Service service;
    Baseline baseline = TakeBaseline(service);
    std::vector<int> held;
    if (!Greet(service, static_cast<int>(state.range(0)), false, &held)) {
      state.SkipWithError("a connection was refused");
      CloseAll(&held);
      return;
    }
    state.counters["rss_mb"] = service.ResidentMb();
    state.counters["service_threads"] = static_cast<double>(service.Threads());
    double slowest = 0;
    for (int i = 0; i < 20; ++i) slowest = std::max(slowest, service.Query());
    state.counters["new_client_query_ms"] = slowest;
    CloseAll(&held);
    ReportReturn(state, service, baseline);
  }
}
BENCHMARK(BM_IdleConnections)->Arg(9999)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SharedChannelClients(benchmark::State &state) {
  RaiseDescriptorLimit();
  for (auto _ : state) {
    Service service;
    Baseline baseline = TakeBaseline(service);
    std::vector<int> held;
    if (!Greet(service, static_cast<int>(state.range(0)), true, &held)) {
      state.SkipWithError("a connection was refused");
      CloseAll(&held);
      return;
    }
    state.counters["rss_mb"] = service.ResidentMb();
    state.counters["new_client_query_ms"] = service.Query();
    CloseAll(&held);
    ReportReturn(state, service, baseline);
  }
}
BENCHMARK(BM_SharedChannelClients)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_KilledClientCleanup(benchmark::State &state) {
  for (auto _ : state) {
    Service service;
    Baseline baseline = TakeBaseline(service);
    pid_t flood = StartReadFlood(service.socket(), static_cast<int>(state.range(0)));
    if (flood < 0) {
      state.SkipWithError("the flooding client failed");
      return;
    }
    std::this_thread::sleep_for(300ms);  // its requests into the service
    auto start = Clock::now();
    kill(flood, SIGKILL);
    waitpid(flood, nullptr, 0);
    // Until the service has closed the dead client's handle.
    while (service.OpenHandles() != 0 && MillisecondsSince(start) < 10000) {
    }
    state.counters["cleanup_ms"] = MillisecondsSince(start);
    ReportReturn(state, service, baseline);
  }
}
BENCHMARK(BM_KilledClientCleanup)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
