// Sustained isochronous streaming throughput through Tavrin.sys: a stream
// with many packets in flight on the substitute instrument's isochronous IN
// endpoint, read continuously through DeviceIoControl for about two seconds.
//
// Figures to compare with:
//   - USB 2.0 high-speed isochronous maximum: 3 × 1024 bytes per 125 µs
//     microframe = 24.576 MB/s;
//   - the substitute endpoint's own ceiling: one 1024-byte packet per
//     microframe = 8.192 MB/s.
// The reported rate counts the data bytes the reader received (descriptors
// not included); `dropped_chunks` counts chunks the rings had to drop
// because the reader fell behind, found from the sequence numbers.
#include <windows.h>

#include <host/host.h>
#include <substitute_instrument.h>
#include <tavrin_ioctl.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kPacketSize = 1024;
constexpr std::uint32_t kDescriptorBytes = 12;
constexpr double kUsb2IsoMaximumMBps = 24.576;
constexpr double kSubstituteCeilingMBps = 8.192;

bool Control(HANDLE handle, DWORD code, const void *input, DWORD inputLength, void *output, DWORD outputLength,
             DWORD *returned) {
  return DeviceIoControl(handle, code, const_cast<void *>(input), inputLength, output, outputLength, returned,
                         nullptr) != FALSE;
}

// The index of the instrument's isochronous IN pipe after selecting
// alternate setting 1.
std::uint32_t SelectIsoPipe(HANDLE handle) {
  InterfaceSelection selection{0, 1};
  DWORD returned = 0;
  if (!Control(handle, IOCTL_INSTR_SELECT_INTERFACE, &selection, sizeof selection, nullptr, 0, &returned)) {
    throw std::runtime_error("select-interface failed");
  }
  std::vector<std::uint8_t> record(TAVRIN_RECORD_BUFFER_BYTES, 0);
  if (!Control(handle, IOCTL_INSTR_GET_INTERFACE_RECORD, record.data(), static_cast<DWORD>(record.size()),
               record.data(), static_cast<DWORD>(record.size()), &returned) ||
      returned < TAVRIN_RECORD_HEADER_BYTES) {
    throw std::runtime_error("no interface record");
  }
  std::uint32_t pipes;
  std::memcpy(&pipes, record.data() + 16, sizeof pipes);
  for (std::uint32_t i = 0; i < pipes && TAVRIN_RECORD_ENDPOINT_OFFSET(i) < returned; ++i) {
    if (record[TAVRIN_RECORD_ENDPOINT_OFFSET(i)] == usb::SubstituteInstrument::kIsoEndpoint) return i;
  }
  throw std::runtime_error("no isochronous pipe");
}

void BM_IsoStreamSustained(benchmark::State &state) {
  const auto perTransfer = static_cast<std::uint32_t>(state.range(0));
  const auto inFlight = static_cast<std::uint32_t>(state.range(1));
  constexpr std::uint32_t kRingPackets = 16384;  // 16 MiB of data: two seconds at the ceiling
  constexpr std::uint32_t kReadPackets = 256;

  host::SetSimulatedInstruments(0);
  host::DeviceId id = host::Attach(std::make_shared<usb::SubstituteInstrument>());
  host::WaitForPnp();
  HANDLE handle = CreateFileA("\\\\.\\TAVRIN-0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    state.SkipWithError("the instrument did not open");
    host::Shutdown();
    return;
  }
  std::uint32_t pipe = SelectIsoPipe(handle);
  std::vector<std::uint8_t> buffer(kReadPackets * (kPacketSize + kDescriptorBytes));
  IsoTransferRequest start{pipe, kPacketSize, kRingPackets, perTransfer, inFlight};
  IsoTransferRequest read{pipe, kPacketSize, kReadPackets, 0, 0};

  std::uint64_t bytes = 0;
  std::uint64_t droppedChunks = 0;
  double seconds = 0;
  for (auto _ : state) {
    DWORD returned = 0;
    if (!Control(handle, IOCTL_INSTR_START_ISO_STREAM, &start, sizeof start, nullptr, 0, &returned)) {
      state.SkipWithError("the stream did not start");
      break;
    }
    std::int64_t nextSequence = 0;
    auto begin = std::chrono::steady_clock::now();
    auto end = begin + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
      if (!Control(handle, IOCTL_INSTR_READ_ISO_STREAM, &read, sizeof read, buffer.data(),
                   static_cast<DWORD>(buffer.size()), &returned)) {
        state.SkipWithError("a stream read failed");
        break;
      }
      std::uint32_t packets = returned / (kPacketSize + kDescriptorBytes);
      for (std::uint32_t k = 0; k < packets; k += perTransfer) {
        std::uint32_t sequence;
        std::memcpy(&sequence, buffer.data() + static_cast<std::size_t>(k) * kPacketSize, sizeof sequence);
        if (sequence > nextSequence) droppedChunks += (sequence - nextSequence) / perTransfer;
        nextSequence = static_cast<std::int64_t>(sequence) + perTransfer;
      }
      bytes += static_cast<std::uint64_t>(packets) * kPacketSize;
      if (returned == 0) std::this_thread::yield();
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    Control(handle, IOCTL_INSTR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0, &returned);
    // Reads fail once the last slot has retired and freed the stream.
    while (Control(handle, IOCTL_INSTR_READ_ISO_STREAM, &read, sizeof read, buffer.data(),
                   static_cast<DWORD>(buffer.size()), &returned)) {
      std::this_thread::yield();
    }
    state.SetIterationTime(seconds);
  }
  CloseHandle(handle);
  host::Detach(id);
  host::WaitForPnp();
  host::Shutdown();  // the driver unloads; the verifier stops the process if it left pool behind

  double megabytesPerSecond = seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
  state.counters["MBps"] = megabytesPerSecond;
  state.counters["of_substitute_ceiling_pct"] = 100.0 * megabytesPerSecond / kSubstituteCeilingMBps;
  state.counters["of_usb2_iso_max_pct"] = 100.0 * megabytesPerSecond / kUsb2IsoMaximumMBps;
  state.counters["substitute_ceiling_MBps"] = kSubstituteCeilingMBps;
  state.counters["usb2_iso_max_MBps"] = kUsb2IsoMaximumMBps;
  state.counters["dropped_chunks"] = static_cast<double>(droppedChunks);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// P packets per transfer × T transfers in flight: 64 × 16 keeps 1024
// packets (128 ms) in flight, 8 × 4 only 32 (4 ms).
BENCHMARK(BM_IsoStreamSustained)
    ->Args({64, 16})
    ->Args({32, 8})
    ->Args({8, 4})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
