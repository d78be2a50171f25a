// What one transfer costs through the whole stack (library, kernel32, the
// embedded kernel, Tavrin.sys, the bus, a device model), against one real
// Linux open, ioctl and close measured in the same run; the cost of one
// 1024-byte chunk of a firmware download with the instrument's own work
// included; USB_Write throughput across threads; the console's idle poll
// tick; the discovery scan; interrogative reads; and a 16 MiB download.
#include <benchmark/benchmark.h>
#include <device_library.h>
#include <download.h>
#include <download_exchange.h>
#include <library_calls.h>
#include <host/host.h>
#include <substitute_instrument.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace exchange = Download_Exchange;

// The instrument's descriptors and answers, but command bytes go nowhere, so
// that the cost measured is the stack's.
class SinkInstrument : public usb::SubstituteInstrument {
 public:
  using SubstituteInstrument::SubstituteInstrument;
  usb::Outcome Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) override {
    if (sinking) return usb::Outcome::Ok;
    return SubstituteInstrument::Out(endpoint, data);
  }
  bool sinking = true;
};

Client::Device_Library &Library() { return Client::Linked_Library(); }

// The name as the conversation passes it, made once.
Client::Library_Text Name(std::string_view text) { return Client::Library_Text::Of_Characters(text); }

std::vector<std::shared_ptr<SinkInstrument>> AttachInstruments(int count, usb::InstrumentConfig config = {}) {
  host::Shutdown();
  host::SetSimulatedInstruments(0);
  std::vector<std::shared_ptr<SinkInstrument>> instruments;
  for (int i = 0; i < count; ++i) {
    auto instrument = std::make_shared<SinkInstrument>(config);
    host::Attach(instrument);
    instruments.push_back(instrument);
  }
  return instruments;
}

Client::Instrument First() { return Client::Instrument(Library(), "TAVRIN-0"); }

// Reads the interrogative channel until an answer comes (for at most ten
// seconds); true when it accepts.
bool AwaitAnswer(Client::Instrument &instrument) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < giveUp) {
    if (auto answer = instrument.Poll(Client::Channel::Interrogative, Client::kAnswerReadBytes)) {
      return exchange::Is_Accepted(*answer);
    }
  }
  return false;
}

// One read of a reply channel with the buffer the console asks with.
std::int32_t ReadOnce(Client::Library_Text &name, Client::Channel channel) {
  const bool interrogative = channel == Client::Channel::Interrogative;
  return Client::Read_Call(Library(), name, channel, interrogative ? 65 : 32001, interrogative ? 64 : 32000).count;
}

void BM_UsbWrite(benchmark::State &state) {
  AttachInstruments(1);
  std::size_t size = static_cast<std::size_t>(state.range(0));
  Client::Library_Text name = Name("TAVRIN-0");
  const std::string bytes(size, '\n');
  for (auto _ : state) {
    if (Client::Write_Call(Library(), name, bytes) != 1) state.SkipWithError("USB_Write failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_UsbWrite)->Arg(1)->Arg(1024)->MinTime(0.5);

void BM_LinuxOpenIoctlClose(benchmark::State &state) {
  for (auto _ : state) {
    int fd = open("/dev/null", O_RDWR);
    int pending = 0;
    benchmark::DoNotOptimize(ioctl(fd, FIONREAD, &pending));
    close(fd);
  }
}
BENCHMARK(BM_LinuxOpenIoctlClose)->MinTime(0.5);

// One 1024-byte chunk of a firmware download as the downloading programs
// send it: USB_Write of the chunk to the substitute instrument, which takes
// it as image bytes (and restarts its end-of-image wait) on every write.
// Every repetition is one whole download: the image is checked afterwards,
// so a lost chunk is an error, not a fast figure.
void BM_DownloadChunk(benchmark::State &state) {
  usb::InstrumentConfig config;
  config.imageGap = std::chrono::milliseconds(200);
  auto instrument = AttachInstruments(1, config).front();
  instrument->sinking = false;
  Client::Instrument first = First();
  first.Write(exchange::Command_Line(exchange::Image_Type::FPGA, false));
  if (!AwaitAnswer(first)) {
    state.SkipWithError("download refused");
    return;
  }
  std::string image(1 << 20, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + (i >> 10));
  std::size_t offset = 0;
  // Threads of the process that went to sleep (a worker woken for nothing
  // sleeps again), whatever else the machine runs.
  auto sleeps = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
  };
  const long sleepsBefore = sleeps();
  for (auto _ : state) {
    const std::string_view chunk(image.data() + offset, exchange::kChunkBytes);
    offset = (offset + exchange::kChunkBytes) % image.size();
    if (first.Write(chunk) != Client::Write_Outcome::Done) state.SkipWithError("write failed");
  }
  state.counters["sleeps_per_chunk"] =
      static_cast<double>(sleeps() - sleepsBefore) / static_cast<double>(state.iterations());
  if (!AwaitAnswer(first)) state.SkipWithError("final answer refused");
  if (instrument->Image(usb::ImageType::Fpga).size != static_cast<std::size_t>(state.iterations() * exchange::kChunkBytes))
    state.SkipWithError("the stored image lost bytes");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * exchange::kChunkBytes);
}
BENCHMARK(BM_DownloadChunk)
    ->Iterations(20000)
    ->Repetitions(5)
    ->ComputeStatistics("min", [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); })
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

// USB_Write of 1024 bytes from 1, 2 and 8 threads at once, all to one
// instrument or each thread to its own; items_per_second is the total.
void BM_UsbWriteThreads(benchmark::State &state) {
  const bool separate = state.range(0) != 0;
  if (state.thread_index() == 0) AttachInstruments(8);
  Client::Library_Text name = Name("TAVRIN-" + std::to_string(separate ? state.thread_index() % 8 : 0));
  const std::string bytes(1024, '\n');
  for (auto _ : state) {
    if (Client::Write_Call(Library(), name, bytes) != 1) state.SkipWithError("USB_Write failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UsbWriteThreads)
    ->ArgName("separate_instruments")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime()
    ->MinTime(0.5);

// The console's poll of an idle instrument on each tick: the interrogative
// read, then the formatted read, with the buffers the console asks with;
// each waits 1 ms in the driver. Reports the median and the 90th
// percentile of the ticks.
void BM_IdlePollTick(benchmark::State &state) {
  AttachInstruments(1);
  Client::Library_Text name = Name("TAVRIN-0");
  std::vector<double> ticks;
  ticks.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    auto begin = std::chrono::steady_clock::now();
    if (ReadOnce(name, Client::Channel::Interrogative) != 0) state.SkipWithError("not idle");
    if (ReadOnce(name, Client::Channel::Formatted) != 0) state.SkipWithError("not idle");
    ticks.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
  }
  std::sort(ticks.begin(), ticks.end());
  if (ticks.empty()) return;
  state.counters["median_ms"] = ticks[ticks.size() / 2];
  state.counters["p90_ms"] = ticks[ticks.size() * 9 / 10];
}
BENCHMARK(BM_IdlePollTick)->Iterations(400)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_DiscoveryScan(benchmark::State &state) {
  AttachInstruments(static_cast<int>(state.range(0)));
  std::size_t found = 0;
  for (auto _ : state) {
    found = Client::List_Instruments(Library()).size();
  }
  state.counters["attached"] = static_cast<double>(state.range(0));
  state.counters["findable"] = static_cast<double>(found);
}
BENCHMARK(BM_DiscoveryScan)->ArgName("instruments")->Arg(1)->Arg(16)->MinTime(0.5);

void BM_ReadInterrogative(benchmark::State &state) {
  auto instrument = AttachInstruments(1).front();
  instrument->sinking = false;
  bool answerWaiting = state.range(0) != 0;
  Client::Instrument first = First();
  Client::Library_Text name = Name("TAVRIN-0");
  for (auto _ : state) {
    if (answerWaiting) {
      state.PauseTiming();
      first.Write("ECHO ready\n");
      state.ResumeTiming();
    }
    const std::int32_t received = ReadOnce(name, Client::Channel::Interrogative);
    if (answerWaiting && received == 0) state.SkipWithError("no answer");
  }
}
BENCHMARK(BM_ReadInterrogative)->ArgName("answer_waiting")->Arg(1)->Arg(0)->MinTime(0.5)->UseRealTime();

// A 16 MiB image, sent as the download exchange sends it, at the instrument's
// full speed: command line, acknowledgement, 1024-byte writes, final answer
// (after the instrument's end-of-image gap, 50 ms here: long enough that a
// writer the scheduler holds back does not end the image early).
void BM_Download16MiB(benchmark::State &state) {
  usb::InstrumentConfig config;
  config.imageGap = std::chrono::milliseconds(50);
  auto instrument = AttachInstruments(1, config).front();
  instrument->sinking = false;
  constexpr std::int64_t kImageBytes = 16 << 20;
  std::string image(kImageBytes, '\x5A');
  Client::Instrument first = First();
  for (auto _ : state) {
    Client::Image_Bytes source(image);
    Client::Download download(first, exchange::Command_Line(exchange::Image_Type::FPGA, false), source);
    download.Start();
    while (!download.Finished()) {
      if (download.Sending()) {
        download.Send_Next_Chunk();
        continue;
      }
      download.Tick();
      // Ticks 2 ms apart: the final wait's 100 reads outlast the gap.
      if (download.Countdown_Started()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (download.Current_Stage() != Client::Download::Stage::Succeeded ||
        instrument->Image(usb::ImageType::Fpga).size != kImageBytes) {
      state.SkipWithError("the image did not arrive whole");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kImageBytes);
}
BENCHMARK(BM_Download16MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  host::Shutdown();
  return 0;
}
