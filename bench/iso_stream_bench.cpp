// Sustained isochronous streaming through Tavrin.sys: a stream on the
// substitute instrument's isochronous IN endpoint, kept in a ring of a few
// milliseconds of data, read by a program that wakes every millisecond (as
// one on a 1 ms timer does) and takes what the ring holds, for one second.
//
// Columns (counters):
//   MBps              data bytes the reader received per second (packet
//                     descriptors not counted);
//   ring_ms           how much data the ring holds at the substitute
//                     endpoint's ceiling of one 1024-byte packet per 125 us
//                     microframe (8.192 MB/s);
//   received_packets  packets the reader got;
//   dropped_packets   packets missing from the sequence the reader saw
//                     (the ring overflowed before the reader came back);
//   dropped_pct       dropped / (received + dropped);
//   of_ceiling_pct    MBps against the substitute endpoint's ceiling.
// USB 2.0 high-speed isochronous tops out at 3 × 1024 bytes per microframe
// (24.576 MB/s); the substitute endpoint sends one packet per microframe.
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
constexpr double kSubstituteCeilingMBps = 8.192;
constexpr double kPacketsPerMillisecond = 8;  // one per 125 us microframe at the ceiling
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
  const auto ringPackets = static_cast<std::uint32_t>(state.range(2));

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
  // One read can take everything the ring holds.
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(ringPackets) * (kPacketSize + kDescriptorBytes));
  IsoTransferRequest start{pipe, kPacketSize, ringPackets, perTransfer, inFlight};
  IsoTransferRequest read{pipe, kPacketSize, ringPackets, 0, 0};

  std::uint64_t received = 0;
  std::uint64_t dropped = 0;
  double seconds = 0;
  for (auto _ : state) {
    DWORD returned = 0;
    if (!Control(handle, IOCTL_INSTR_START_ISO_STREAM, &start, sizeof start, nullptr, 0, &returned)) {
      state.SkipWithError("the stream did not start");
      break;
    }
    std::int64_t nextSequence = 0;
    auto begin = std::chrono::steady_clock::now();
    auto end = begin + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (!Control(handle, IOCTL_INSTR_READ_ISO_STREAM, &read, sizeof read, buffer.data(),
                   static_cast<DWORD>(buffer.size()), &returned)) {
        state.SkipWithError("a stream read failed");
        break;
      }
      // Packet data first, one packet size apart, each starting with its
      // sequence number; any gap in the sequence is data the ring dropped.
      std::uint32_t packets = returned / (kPacketSize + kDescriptorBytes);
      for (std::uint32_t k = 0; k < packets; ++k) {
        std::uint32_t sequence;
        std::memcpy(&sequence, buffer.data() + static_cast<std::size_t>(k) * kPacketSize, sizeof sequence);
        if (sequence > nextSequence) dropped += static_cast<std::uint64_t>(sequence - nextSequence);
        nextSequence = static_cast<std::int64_t>(sequence) + 1;
      }
      received += packets;
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

  const double bytes = static_cast<double>(received) * kPacketSize;
  const double megabytesPerSecond = seconds > 0 ? bytes / seconds / 1e6 : 0;
  state.counters["MBps"] = megabytesPerSecond;
  state.counters["ring_ms"] = ringPackets / kPacketsPerMillisecond;
  state.counters["received_packets"] = static_cast<double>(received);
  state.counters["dropped_packets"] = static_cast<double>(dropped);
  state.counters["dropped_pct"] = received + dropped > 0 ? 100.0 * static_cast<double>(dropped) /
                                                               static_cast<double>(received + dropped)
                                                         : 0;
  state.counters["of_ceiling_pct"] = 100.0 * megabytesPerSecond / kSubstituteCeilingMBps;
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Packets per transfer, transfers in flight, packets in the ring: 8 × 4
// keeps 32 packets (4 ms) in flight; the rings hold 4 and 8 ms of data.
BENCHMARK(BM_IsoStreamSustained)
    ->ArgNames({"per_transfer", "in_flight", "ring_packets"})
    ->Args({8, 4, 32})
    ->Args({8, 4, 64})
    ->Args({16, 2, 64})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
