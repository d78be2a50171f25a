// What one transfer costs through the whole stack (library, kernel32, the
// embedded kernel, Tavrin.sys, the bus, a device model), against one real
// Linux open, ioctl and close; the 32-name discovery scan; interrogative reads
// with and without an answer waiting; and a 16 MiB download through the
// shared exchange rules.
#include <Tavrin_570x_Driver.h>
#include <benchmark/benchmark.h>
#include <download_exchange.h>
#include <host/host.h>
#include <substitute_instrument.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

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

class Name {
 public:
  explicit Name(const char *text) {
    std::u16string wide(text, text + std::strlen(text));
    value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  ~Name() { SysFreeString(value_); }
  BSTR *get() { return &value_; }

 private:
  BSTR value_;
};

class Bytes {
 public:
  explicit Bytes(std::size_t size) : array_(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size))) {}
  ~Bytes() { SafeArrayDestroy(array_); }
  SAFEARRAY **get() { return &array_; }
  std::uint8_t *data() { return static_cast<std::uint8_t *>(array_->pvData); }

 private:
  SAFEARRAY *array_;
};

std::shared_ptr<SinkInstrument> AttachInstruments(int count, usb::InstrumentConfig config = {}) {
  host::Shutdown();
  host::SetSimulatedInstruments(0);
  std::shared_ptr<SinkInstrument> first;
  for (int i = 0; i < count; ++i) {
    auto instrument = std::make_shared<SinkInstrument>(config);
    host::Attach(instrument);
    if (!first) first = instrument;
  }
  return first;
}

int32_t WriteText(const std::string &text) {
  Name name("TAVRIN-0");
  Bytes buffer(text.size());
  std::memcpy(buffer.data(), text.data(), text.size());
  int32_t length = static_cast<int32_t>(text.size());
  return USB_Write(name.get(), buffer.get(), &length);
}

void BM_UsbWrite(benchmark::State &state) {
  AttachInstruments(1);
  std::size_t size = static_cast<std::size_t>(state.range(0));
  Name name("TAVRIN-0");
  Bytes buffer(size);
  std::memset(buffer.data(), '\n', size);
  for (auto _ : state) {
    int32_t length = static_cast<int32_t>(size);
    if (USB_Write(name.get(), buffer.get(), &length) != 1) state.SkipWithError("USB_Write failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_UsbWrite)->Arg(1)->Arg(1024);

void BM_LinuxOpenIoctlClose(benchmark::State &state) {
  for (auto _ : state) {
    int fd = open("/dev/null", O_RDWR);
    int pending = 0;
    benchmark::DoNotOptimize(ioctl(fd, FIONREAD, &pending));
    close(fd);
  }
}
BENCHMARK(BM_LinuxOpenIoctlClose);

void BM_DiscoveryScan(benchmark::State &state) {
  AttachInstruments(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    BSTR list = USB_Get_ALL_Available_DeviceName();
    benchmark::DoNotOptimize(list);
    SysFreeString(list);
  }
}
BENCHMARK(BM_DiscoveryScan)->Arg(1)->Arg(16);

void BM_ReadInterrogative(benchmark::State &state) {
  auto instrument = AttachInstruments(1);
  instrument->sinking = false;
  bool answerWaiting = state.range(0) != 0;
  Name name("TAVRIN-0");
  for (auto _ : state) {
    if (answerWaiting) {
      state.PauseTiming();
      WriteText("ECHO ready\n");
      state.ResumeTiming();
    }
    Bytes buffer(65);
    int32_t length = 64;
    int32_t received = USB_Read_Interrogative(name.get(), buffer.get(), &length);
    if (answerWaiting && received == 0) state.SkipWithError("no answer");
  }
}
BENCHMARK(BM_ReadInterrogative)->ArgName("answer_waiting")->Arg(1)->Arg(0);

// A 16 MiB image, sent as the download exchange sends it, at the instrument's
// full speed: command line, acknowledgement, 1024-byte writes, final answer.
void BM_Download16MiB(benchmark::State &state) {
  usb::InstrumentConfig config;
  config.imageGap = std::chrono::milliseconds(5);
  auto instrument = AttachInstruments(1, config);
  instrument->sinking = false;
  constexpr std::int64_t kImageBytes = 16 << 20;
  std::string image(kImageBytes, '\x5A');
  Name name("TAVRIN-0");
  auto awaitAnswer = [&] {
    for (;;) {
      Bytes buffer(65);
      int32_t length = 64;
      if (USB_Read_Interrogative(name.get(), buffer.get(), &length) > 0) {
        return Download_Exchange::Is_Accepted(std::string(reinterpret_cast<char *>(buffer.data()), length));
      }
    }
  };
  for (auto _ : state) {
    WriteText(Download_Exchange::Command_Line(Download_Exchange::Image_Type::FPGA, false));
    if (!awaitAnswer()) state.SkipWithError("refused");
    Bytes chunk(Download_Exchange::kChunkBytes);
    for (std::int64_t offset = 0; offset < kImageBytes;) {
      std::int64_t bytes = Download_Exchange::Chunk_Bytes(kImageBytes - offset);
      std::memcpy(chunk.data(), image.data() + offset, static_cast<std::size_t>(bytes));
      int32_t length = static_cast<int32_t>(bytes);
      if (USB_Write(name.get(), chunk.get(), &length) != 1) state.SkipWithError("write failed");
      offset += bytes;
    }
    if (!awaitAnswer()) state.SkipWithError("final answer refused");
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
