// Isochronous transfers and streaming through DeviceIoControl, against the
// substitute instrument's alternate setting 1, whose isochronous IN endpoint
// 0x83 sends packets that each start with a 32-bit little-endian sequence
// number (one more per packet) followed by bytes (sequence + i) & 0xFF: the
// sequence numbers prove order and completeness, the bytes that nothing was
// torn or overwritten.
//
// Chunk order: the bus completes each transfer when its last frame has
// passed, but when its worker falls behind it can complete a later transfer
// of a pipe before an earlier one, and a slot then resubmits out of turn.
// So with more than one transfer in flight the tests check that every chunk
// is whole and where it belongs, not the order in which chunks were filled;
// tests about exact order run one transfer in flight.
#include "driver_test_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

namespace drivertest {
namespace {

constexpr std::uint32_t kDescriptorBytes = 12;
constexpr ULONG kDriverTag = kDriverPoolTag;
constexpr std::uint8_t kIsoEndpoint = usb::SubstituteInstrument::kIsoEndpoint;

Bytes IsoRequest(std::uint32_t pipe, std::uint32_t packetSize, std::uint32_t packetCount, std::uint32_t perTransfer,
                 std::uint32_t inFlight) {
  return AsBytes(IsoTransferRequest{pipe, packetSize, packetCount, perTransfer, inFlight});
}

std::uint32_t U32At(const Bytes &bytes, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

struct Descriptor {
  std::uint32_t offset;
  std::uint32_t length;
  std::uint32_t status;
};

Descriptor DescriptorAt(const Bytes &bytes, std::size_t offset) {
  return {U32At(bytes, offset), U32At(bytes, offset + 4), U32At(bytes, offset + 8)};
}

// The sequence number of the packet at `offset`, after checking that its
// bytes are the ones the instrument makes from it; nullopt when they are not.
std::optional<std::uint32_t> PacketSequence(const Bytes &bytes, std::size_t offset, std::uint32_t packetSize) {
  std::uint32_t sequence = U32At(bytes, offset);
  for (std::uint32_t i = 4; i < packetSize; ++i) {
    if (bytes[offset + i] != static_cast<std::uint8_t>((sequence + i) & 0xFF)) return std::nullopt;
  }
  return sequence;
}

// What one stream read returned, checked chunk by chunk: each chunk of P
// packets continuous, starting at a multiple of P (the stream is the only
// user of the endpoint), with its packets' descriptors after the data.
struct StreamChunks {
  std::vector<std::uint32_t> firstSequences;  // one per chunk, as read
  std::string fault;                          // empty when everything checked out
};

StreamChunks CheckStreamRead(const Bytes &output, std::size_t bytes, std::uint32_t packetSize,
                             std::uint32_t perTransfer) {
  StreamChunks result;
  std::size_t packets = bytes / (packetSize + kDescriptorBytes);
  if (packets * (packetSize + kDescriptorBytes) != bytes) {
    result.fault = "the read returned " + std::to_string(bytes) + " bytes, not whole packets with descriptors";
    return result;
  }
  if (packets % perTransfer != 0) {
    result.fault = "the read returned " + std::to_string(packets) + " packets, not whole chunks";
    return result;
  }
  std::size_t descriptors = packets * packetSize;
  for (std::size_t k = 0; k < packets; ++k) {
    std::optional<std::uint32_t> sequence = PacketSequence(output, k * packetSize, packetSize);
    if (!sequence) {
      result.fault = "packet " + std::to_string(k) + " is corrupted";
      return result;
    }
    std::uint32_t inChunk = static_cast<std::uint32_t>(k % perTransfer);
    if (inChunk == 0) {
      if (*sequence % perTransfer != 0) {
        result.fault = "chunk starting at packet " + std::to_string(k) + " starts at sequence " +
                       std::to_string(*sequence);
        return result;
      }
      if (std::find(result.firstSequences.begin(), result.firstSequences.end(), *sequence) !=
          result.firstSequences.end()) {
        result.fault = "chunk starting at packet " + std::to_string(k) + " came twice";
        return result;
      }
      result.firstSequences.push_back(*sequence);
    } else if (*sequence != result.firstSequences.back() + inChunk) {
      result.fault = "chunk torn at packet " + std::to_string(k);
      return result;
    }
    Descriptor d = DescriptorAt(output, descriptors + k * kDescriptorBytes);
    if (d.offset != inChunk * packetSize || d.length != packetSize || d.status != 0) {
      result.fault = "descriptor " + std::to_string(k) + " is {" + std::to_string(d.offset) + ", " +
                     std::to_string(d.length) + ", " + std::to_string(d.status) + "}";
      return result;
    }
  }
  return result;
}

// A blocking read of `count` packets in chunks of P: every chunk in its
// place whole and continuous, each chunk of the instrument's packets exactly
// once (chunk starts are the multiples of P below `count`, in some order),
// and every packet's descriptor after the data. With `mayStop`, chunks the
// bus never filled (still the 0xCC fill) are allowed.
std::string CheckBlockingRead(const Bytes &output, std::uint32_t packetSize, std::uint32_t count,
                              std::uint32_t perTransfer, bool mayStop = false) {
  std::vector<std::uint32_t> starts;
  for (std::uint32_t c = 0; c < count / perTransfer; ++c) {
    std::size_t place = static_cast<std::size_t>(c) * perTransfer * packetSize;
    if (mayStop && std::all_of(output.begin() + place, output.begin() + place + perTransfer * packetSize,
                               [](std::uint8_t b) { return b == 0xCC; })) {
      continue;
    }
    std::optional<std::uint32_t> first = PacketSequence(output, place, packetSize);
    if (!first || *first % perTransfer != 0) return "chunk " + std::to_string(c) + " does not start a chunk";
    for (std::uint32_t k = 1; k < perTransfer; ++k) {
      if (PacketSequence(output, place + k * packetSize, packetSize) != *first + k) {
        return "chunk " + std::to_string(c) + " torn at packet " + std::to_string(k);
      }
    }
    starts.push_back(*first);
  }
  std::sort(starts.begin(), starts.end());
  for (std::size_t i = 0; i < starts.size(); ++i) {
    if (starts[i] != i * perTransfer) return "the chunks are not the instrument's first " + std::to_string(starts.size());
  }
  for (std::uint32_t k = 0; k < count && !mayStop; ++k) {
    Descriptor d = DescriptorAt(output, static_cast<std::size_t>(count) * packetSize + k * kDescriptorBytes);
    if (d.offset != (k % perTransfer) * packetSize || d.length != packetSize || d.status != 0) {
      return "descriptor " + std::to_string(k) + " is {" + std::to_string(d.offset) + ", " +
             std::to_string(d.length) + ", " + std::to_string(d.status) + "}";
    }
  }
  return "";
}

class IsoTest : public DriverTest {
 protected:
  // The substitute instrument on slot 0 with alternate setting 1 selected;
  // `pipe` is the index of its isochronous IN pipe in the interface record.
  void AttachInstrument() {
    instrument = std::make_shared<usb::SubstituteInstrument>();
    deviceId = Attach(instrument);
    ASSERT_TRUE(host::Started(deviceId));
    device = Handle::Open(DevicePath(0));
    ASSERT_TRUE(device.valid()) << "error " << GetLastError();
    Reply select = Call(device.get(), IOCTL_INSTR_SELECT_INTERFACE, AsBytes(InterfaceSelection{0, 1}), 0);
    ASSERT_TRUE(select.ok);
    std::optional<InterfaceRecord> record = ReadRecord(device.get());
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->alternateSetting, 1);
    bool found = false;
    for (std::size_t i = 0; i < record->pipes.size(); ++i) {
      if (record->pipes[i].endpointAddress == kIsoEndpoint) {
        EXPECT_EQ(record->pipes[i].pipeType, 1u);
        pipe = static_cast<std::uint32_t>(i);
        found = true;
      }
      if (record->pipes[i].pipeType == 2 && bulkPipe == kNoPipe) bulkPipe = static_cast<std::uint32_t>(i);
    }
    ASSERT_TRUE(found) << "no pipe for endpoint 0x83";
    ASSERT_NE(bulkPipe, kNoPipe);
    pipeCount = static_cast<std::uint32_t>(record->pipes.size());
  }

  Reply IsoRead(std::uint32_t packetSize, std::uint32_t packetCount, std::uint32_t perTransfer,
                std::uint32_t inFlight, std::optional<DWORD> outputLength = std::nullopt) {
    DWORD length = outputLength.value_or(packetCount * (packetSize + kDescriptorBytes));
    return Call(device.get(), IOCTL_INSTR_ISO_READ, IsoRequest(pipe, packetSize, packetCount, perTransfer, inFlight),
                length);
  }

  Reply StartStream(std::uint32_t packetSize, std::uint32_t capacity, std::uint32_t perTransfer,
                    std::uint32_t inFlight) {
    return Call(device.get(), IOCTL_INSTR_START_ISO_STREAM,
                IsoRequest(pipe, packetSize, capacity, perTransfer, inFlight), 0);
  }

  Reply ReadStream(std::uint32_t packetSize, std::uint32_t packetCount, HANDLE handle = nullptr) {
    return Call(handle != nullptr ? handle : device.get(), IOCTL_INSTR_READ_ISO_STREAM,
                IsoRequest(pipe, packetSize, packetCount, 0, 0), packetCount * (packetSize + kDescriptorBytes));
  }

  Reply StopStream() { return Call(device.get(), IOCTL_INSTR_STOP_ISO_STREAM, {}, 0); }

  // Waits until the instrument has sent at least `packets` packets.
  bool WaitForPackets(std::uint32_t packets) {
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (instrument->IsoSequence() < packets) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  // Stops the stream and reads until the reads fail: the last slot has then
  // retired and freed the rings.
  bool StopAndWaitForEnd(std::uint32_t packetSize = 1024, std::uint32_t packetCount = 8) {
    if (!StopStream().ok) return false;
    return ReadUntilEnded(packetSize, packetCount);
  }

  // The driver's pool blocks in use once they are back to `allocations`, or
  // after kEventTimeout: the stream's last slot frees them just after it
  // takes the rings away from readers.
  std::size_t DriverPoolSettlesAt(std::size_t allocations) {
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (km::PoolInUse(kDriverTag).allocations != allocations && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return km::PoolInUse(kDriverTag).allocations;
  }

  bool ReadUntilEnded(std::uint32_t packetSize, std::uint32_t packetCount) {
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    for (;;) {
      Reply read = ReadStream(packetSize, packetCount);
      if (!read.ok) return read.status == STATUS_UNSUCCESSFUL;
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (read.information == 0) std::this_thread::sleep_for(1ms);
    }
  }

  static constexpr std::uint32_t kNoPipe = 0xFFFFFFFFu;
  std::shared_ptr<usb::SubstituteInstrument> instrument;
  std::uint32_t pipe = kNoPipe;
  std::uint32_t bulkPipe = kNoPipe;
  std::uint32_t pipeCount = 0;
};

// ---- Blocking transfers -------------------------------------------------------

TEST_F(IsoTest, BlockingReadDeliversEveryPacketInOrderWithItsDescriptorAfterTheData) {
  AttachInstrument();
  constexpr std::uint32_t kSize = 1024, kCount = 64, kPerTransfer = 8, kInFlight = 4;
  Reply read = IsoRead(kSize, kCount, kPerTransfer, kInFlight);
  ASSERT_TRUE(read.ok) << "status 0x" << std::hex << read.status;
  EXPECT_EQ(read.information, 0u) << "a blocking transfer reports no bytes";
  EXPECT_EQ(CheckBlockingRead(read.output, kSize, kCount, kPerTransfer), "");
  EXPECT_EQ(instrument->IsoSequence(), kCount) << "no more packets asked for than wanted";
}

TEST_F(IsoTest, OneTransferInFlightDeliversThePacketsInExactOrder) {
  AttachInstrument();
  Reply read = IsoRead(32, 48, 4, 1);
  ASSERT_TRUE(read.ok) << "status 0x" << std::hex << read.status;
  for (std::uint32_t k = 0; k < 48; ++k) EXPECT_EQ(PacketSequence(read.output, k * 32, 32), k) << "packet " << k;
  EXPECT_EQ(CheckBlockingRead(read.output, 32, 48, 4), "");
}

TEST_F(IsoTest, TwelvePacketsInChunksOfTwoOnThreeSlotsRunTwoRoundsIntoTheirPlaces) {
  AttachInstrument();
  // Chunk c (packets 2c and 2c + 1) goes on slot c mod 3: slots 0, 1, 2 carry
  // chunks 0, 1, 2 and then 3, 4, 5. Each chunk lands at c × 2 × 8 bytes and
  // its descriptors at 96 + c × 24, the second round's as well as the first's.
  Reply read = IsoRead(8, 12, 2, 3);
  ASSERT_TRUE(read.ok) << "status 0x" << std::hex << read.status;
  ASSERT_EQ(read.output.size(), 240u);
  EXPECT_EQ(CheckBlockingRead(read.output, 8, 12, 2), "");
  for (std::uint32_t k = 0; k < 12; ++k) {
    EXPECT_EQ(DescriptorAt(read.output, 96 + k * kDescriptorBytes).offset, (k % 2) * 8) << "descriptor " << k;
  }
  EXPECT_EQ(instrument->IsoSequence(), 12u) << "six chunks of two, each sent once";
}

TEST_F(IsoTest, PacketCountThatIsNotAMultipleOfTheChunksInFlightIsRefused) {
  AttachInstrument();
  Reply read = IsoRead(8, 10, 2, 3);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(instrument->IsoSequence(), 0u) << "nothing was sent";
}

TEST_F(IsoTest, OutputOneByteShortOfDataAndDescriptorsFails) {
  AttachInstrument();
  Reply shortOne = IsoRead(8, 12, 2, 3, 239);
  EXPECT_FALSE(shortOne.ok);
  EXPECT_EQ(shortOne.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(instrument->IsoSequence(), 0u);

  // A longer output is fine; the descriptors still start at 96.
  Reply longer = IsoRead(8, 12, 2, 3, 250);
  ASSERT_TRUE(longer.ok);
  EXPECT_EQ(DescriptorAt(longer.output, 96).length, 8u);
  EXPECT_EQ(DescriptorAt(longer.output, 96 + 11 * kDescriptorBytes).offset, 8u);
  EXPECT_EQ(longer.output[240], 0xCC) << "nothing written past the descriptors";
}

TEST_F(IsoTest, ZeroSizesCountsAndShortInputsAreRefusedBeforeAnythingIsSent) {
  AttachInstrument();
  struct Case {
    const char *what;
    std::uint32_t size, count, perTransfer, inFlight;
  };
  for (const Case &c : {Case{"packet size 0", 0, 12, 2, 3}, Case{"P 0", 8, 12, 0, 3}, Case{"T 0", 8, 12, 2, 0},
                        Case{"packet count 0", 8, 0, 2, 3}}) {
    Reply read = Call(device.get(), IOCTL_INSTR_ISO_READ, IsoRequest(pipe, c.size, c.count, c.perTransfer, c.inFlight),
                      1024);
    EXPECT_EQ(read.status, STATUS_INVALID_PARAMETER) << "read, " << c.what;
    Reply start = StartStream(c.size, c.count, c.perTransfer, c.inFlight);
    EXPECT_EQ(start.status, STATUS_INVALID_PARAMETER) << "start, " << c.what;
  }
  EXPECT_EQ(ReadStream(0, 4).status, STATUS_INVALID_PARAMETER) << "stream read, packet size 0";

  Bytes shortInput = IsoRequest(pipe, 8, 12, 2, 3);
  shortInput.resize(19);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_ISO_READ, shortInput, 240).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_ISO_WRITE, shortInput, 240).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_START_ISO_STREAM, shortInput, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_READ_ISO_STREAM, shortInput, 240).status, STATUS_INVALID_PARAMETER);
  Bytes longInput = IsoRequest(pipe, 8, 12, 2, 3);
  longInput.push_back(0);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_READ_ISO_STREAM, longInput, 240).status, STATUS_INVALID_PARAMETER)
      << "a stream read takes exactly 20 input bytes";
  EXPECT_EQ(instrument->IsoSequence(), 0u);
}

TEST_F(IsoTest, ProductsThatOverflowThirtyTwoBitsAreRefused) {
  AttachInstrument();
  // PacketCount × (PacketSize + 12) = 4 194 304 × 1036 is past 2^32.
  EXPECT_EQ(IsoRead(1024, 0x400000, 1, 1, 1024).status, STATUS_INVALID_PARAMETER);
  // PacketCount × PacketSize wraps to exactly 0 in 32 bits.
  EXPECT_EQ(IsoRead(0x10000, 0x10000, 1, 1, 1024).status, STATUS_INVALID_PARAMETER);
  // P × T × PacketSize = 1024 × 1024 × 4096 = 2^32.
  EXPECT_EQ(StartStream(4096, 16, 1024, 1024).status, STATUS_INVALID_PARAMETER);
  // A ring of PacketCount × PacketSize = 2^20 × 2^12 bytes.
  EXPECT_EQ(StartStream(4096, 0x100000, 1, 1).status, STATUS_INVALID_PARAMETER);
  // PacketCount × 12 for the descriptor ring: 0x20000000 × 12 is past 2^32.
  EXPECT_EQ(StartStream(1, 0x20000000, 1, 1).status, STATUS_INVALID_PARAMETER);
  // A stream read whose PacketCount × (PacketSize + 12) wraps to the small
  // output it offers.
  Bytes wraps = IsoRequest(pipe, 0xFFFFFFF4u, 2, 0, 0);  // 2 × 2^32 = 0
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_READ_ISO_STREAM, wraps, 0).status, STATUS_INVALID_PARAMETER);
  // P packets whose request block would not fit its 16-bit length.
  EXPECT_EQ(IsoRead(8, 6000, 6000, 1).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(StartStream(8, 6000, 6000, 1).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(instrument->IsoSequence(), 0u);
}

// Requests past the limits on packets per transfer, transfers in flight,
// bytes in flight and ring size are refused before anything is allocated. A
// stream is the device's: it runs on after the last handle closes, a handle
// opened later reads it, and the stop code ends it.
TEST_F(IsoTest, PoolIsBoundedByTheLimitsAndTheStreamOutlivesTheLastHandle) {
  AttachInstrument();
  const km::PoolUsage before = km::PoolInUse(kDriverTag);
  EXPECT_EQ(StartStream(8, 16, 1, TAVRIN_ISO_MAX_TRANSFERS_IN_FLIGHT + 1).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(StartStream(8, 1024, TAVRIN_ISO_MAX_PACKETS_PER_TRANSFER + 1, 1).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(StartStream(1024, 16, 1024, 32).status, STATUS_INVALID_PARAMETER) << "32 MiB in flight";
  EXPECT_EQ(StartStream(1024, 0x100000, 1, 1).status, STATUS_INVALID_PARAMETER) << "a ring of 2^20 packets";
  EXPECT_EQ(IsoRead(1, 2000, 1, 2000, 26000).status, STATUS_INVALID_PARAMETER) << "2000 transfers in flight";
  EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, before.allocations);
  EXPECT_EQ(instrument->IsoSequence(), 0u);

  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  device.Close();
  std::uint32_t sent = instrument->IsoSequence();
  ASSERT_TRUE(WaitForPackets(sent + 64)) << "the stream stopped with the last handle";
  device = Handle::Open(DevicePath(0));
  Reply read = ReadStream(1024, 8);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(CheckStreamRead(read.output, read.information, 1024, 8).fault, "");
  EXPECT_GT(read.information, 0u) << "the next handle reads the same stream";
  EXPECT_TRUE(StopAndWaitForEnd());
  EXPECT_EQ(DriverPoolSettlesAt(before.allocations), before.allocations);
}

TEST_F(IsoTest, PipesThatAreNotIsochronousOrNotThereAreRefused) {
  AttachInstrument();
  Bytes bulk = IsoRequest(bulkPipe, 8, 12, 2, 3);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_ISO_READ, bulk, 240).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_START_ISO_STREAM, bulk, 0).status, STATUS_INVALID_PARAMETER);
  Bytes missing = IsoRequest(pipeCount, 8, 12, 2, 3);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_ISO_READ, missing, 240).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(device.get(), IOCTL_INSTR_START_ISO_STREAM, missing, 0).status, STATUS_INVALID_PARAMETER);
}

TEST_F(IsoTest, WriteCodeOnAnInPipeIsRefusedBecauseItsBufferIsReadOnly) {
  AttachInstrument();
  Reply read = Call(device.get(), IOCTL_INSTR_ISO_WRITE, IsoRequest(pipe, 16, 8, 4, 2), 8 * (16 + 12));
  EXPECT_EQ(read.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(read.output, Bytes(8 * (16 + 12), 0xCC));
  EXPECT_EQ(instrument->IsoSequence(), 0u) << "nothing was asked of the device";
}

// A device with an isochronous OUT endpoint 0x04 that keeps what it gets.
class IsoOutDevice : public TestDevice {
 public:
  IsoOutDevice()
      : TestDevice(Configuration({InterfaceDescriptor(0, 0, 2), EndpointDescriptor(0x01, 0x02, 512),
                                  EndpointDescriptor(0x04, 0x01, 64, 1)})) {}
  void IsoOut(std::uint8_t endpoint, std::uint32_t frame, std::span<const std::uint8_t> packet) override {
    (void)frame;
    std::lock_guard guard(lock_);
    if (endpoint == 0x04) received_.emplace_back(packet.begin(), packet.end());
  }
  std::vector<Bytes> Received() {
    std::lock_guard guard(lock_);
    return received_;
  }

 private:
  std::mutex lock_;
  std::vector<Bytes> received_;
};

TEST_F(IsoTest, BlockingWriteSendsTheCallersPacketsInOrderAndLeavesItsReadOnlyBufferAlone) {
  auto model = std::make_shared<IsoOutDevice>();
  deviceId = Attach(model);
  ASSERT_TRUE(host::Started(deviceId));
  device = Handle::Open(DevicePath(0));
  ASSERT_TRUE(device.valid());
  constexpr std::uint32_t kSize = 32, kCount = 24;
  Bytes buffer(kCount * (kSize + kDescriptorBytes), 0xEE);
  for (std::uint32_t i = 0; i < kCount * kSize; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7 + i / kSize);
  Reply write = CallWithOutput(device.get(), IOCTL_INSTR_ISO_WRITE, IsoRequest(1, kSize, kCount, 3, 4), buffer);
  ASSERT_TRUE(write.ok) << "status 0x" << std::hex << write.status;
  std::vector<Bytes> received = model->Received();
  ASSERT_EQ(received.size(), kCount);
  for (std::uint32_t k = 0; k < kCount; ++k) {
    EXPECT_EQ(received[k], Bytes(buffer.begin() + k * kSize, buffer.begin() + (k + 1) * kSize)) << "packet " << k;
  }
  EXPECT_EQ(write.output, buffer) << "no descriptors are written into a buffer locked for reading";
}

TEST_F(IsoTest, AllocationFailuresInABlockingTransferFailWithNoMemoryAndLeaveNothingBehind) {
  AttachInstrument();
  const km::PoolUsage before = km::PoolInUse(kDriverTag);
  int failures = 0;
  for (std::uint64_t n = 1; n <= 16; ++n) {
    km::FailNthAllocation(n);
    Reply read = IsoRead(16, 24, 2, 4);
    km::ClearAllocationFailures();
    EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, before.allocations) << "allocation " << n << " failed";
    if (read.ok) break;
    EXPECT_EQ(read.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n << " failed";
    ++failures;
  }
  // The context, the slot table and four request blocks.
  EXPECT_EQ(failures, 6);
  Reply read = IsoRead(16, 24, 2, 4);
  ASSERT_TRUE(read.ok);
}

TEST_F(IsoTest, TransferOnAPulledDeviceEndsAtItsFirstRoundAndAStreamEndsByItself) {
  AttachInstrument();
  host::Detach(deviceId);
  host::WaitForPnp();
  // Every chunk now fails inside IofCallDriver: the first round ends the
  // transfer with the bus's status instead of sending 200 000 more.
  constexpr std::uint32_t kCount = 200000;
  Reply read = IsoRead(4, kCount, 1, 1);
  EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(StartStream(1024, 64, 8, 4).status, STATUS_SUCCESS) << "the start itself succeeds";
  EXPECT_TRUE(ReadUntilEnded(1024, 8)) << "a stream on a pulled device ends by itself";
}

TEST_F(IsoTest, PullingTheInstrumentDuringALongBlockingReadEndsItAndTheRemovalWaitsForIt) {
  AttachInstrument();
  // 8000 packets take a second at eight packets a millisecond.
  constexpr std::uint32_t kCount = 8000;
  std::promise<Reply> done;
  std::future<Reply> result = done.get_future();
  std::thread reader([&] { done.set_value(IsoRead(64, kCount, 8, 4)); });
  ASSERT_TRUE(WaitForPackets(100));
  host::Detach(deviceId);
  ASSERT_EQ(result.wait_for(kEventTimeout), std::future_status::ready) << "the read never ended";
  reader.join();
  Reply read = result.get();
  EXPECT_FALSE(read.ok) << "the transfer ends with the round that failed";
  EXPECT_TRUE(read.status == STATUS_DEVICE_NOT_CONNECTED || read.status == STATUS_CANCELLED)
      << "status 0x" << std::hex << read.status;
  EXPECT_LT(instrument->IsoSequence(), kCount) << "the read ended early, when the device went";
  EXPECT_EQ(CheckBlockingRead(read.output, 64, kCount, 8, true), "") << "what came is whole and in its place";
  device.Close();
  host::WaitForPnp();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, 0u) << "the driver left pool behind";
}

// Closing the handle of a blocking read ends it at once, with the round in
// flight; nothing more is asked of the instrument, and another handle's
// read on the same pipe goes on to its end.
TEST_F(IsoTest, ClosingTheHandleEndsItsBlockingReadAndOnlyThatRead) {
  AttachInstrument();
  Handle other = Handle::Open(DevicePath(0));
  ASSERT_TRUE(other.valid());
  // Ten minutes of packets at eight a millisecond: only the close can end it.
  constexpr std::uint32_t kCount = 4800000, kOtherCount = 4096;
  std::promise<Reply> mineDone, theirsDone;
  std::future<Reply> mine = mineDone.get_future(), theirs = theirsDone.get_future();
  HANDLE handle = device.get();
  std::thread reader([&] {
    mineDone.set_value(Call(handle, IOCTL_INSTR_ISO_READ, IsoRequest(pipe, 1, kCount, 8, 2), kCount * 13));
  });
  ASSERT_TRUE(WaitForPackets(64));
  std::thread otherReader([&] { theirsDone.set_value(Call(other.get(), IOCTL_INSTR_ISO_READ,
                                                          IsoRequest(pipe, 64, kOtherCount, 8, 2),
                                                          kOtherCount * (64 + kDescriptorBytes))); });
  device.Close();
  ASSERT_EQ(mine.wait_for(kEventTimeout), std::future_status::ready) << "the read outlived its handle";
  reader.join();
  EXPECT_EQ(mine.get().status, STATUS_CANCELLED);
  ASSERT_EQ(theirs.wait_for(kEventTimeout), std::future_status::ready);
  otherReader.join();
  Reply read = theirs.get();
  EXPECT_TRUE(read.ok) << "the other handle's read was ended too: status 0x" << std::hex << read.status;
  other.Close();
  host::Detach(deviceId);
  host::WaitForPnp();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr) << "the removal was held up";
}

// ---- Streams ------------------------------------------------------------------

TEST_F(IsoTest, StreamReadBeforeAnyStartFails) {
  AttachInstrument();
  Reply read = ReadStream(1024, 8);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(read.information, 0u);
}

TEST_F(IsoTest, StreamReadWhoseOutputIsOneByteOffIsRefused) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  Bytes request = IsoRequest(pipe, 1024, 8, 0, 0);
  for (DWORD length : {8u * 1036u - 1u, 8u * 1036u + 1u}) {
    Reply read = Call(device.get(), IOCTL_INSTR_READ_ISO_STREAM, request, length);
    EXPECT_EQ(read.status, STATUS_INVALID_PARAMETER) << "output " << length;
    EXPECT_EQ(read.information, 0u);
  }
  EXPECT_TRUE(StopAndWaitForEnd());
}

TEST_F(IsoTest, StreamDropsWholeChunksWhenTheRingsAreFullAndKeepsTheRestIntact) {
  AttachInstrument();
  // One transfer in flight, so that chunks complete in the order they were
  // filled and the rings' drops show exactly in the sequence numbers.
  constexpr std::uint32_t kSize = 1024, kCapacity = 64, kPerTransfer = 8, kInFlight = 1;
  ASSERT_TRUE(StartStream(kSize, kCapacity, kPerTransfer, kInFlight).ok);
  // The rings hold 64 packets; let the instrument send far more first. The
  // first eight chunks fill the rings, and every later one is dropped.
  ASSERT_TRUE(WaitForPackets(4 * kCapacity));
  Reply first = ReadStream(kSize, kCapacity);
  ASSERT_TRUE(first.ok);
  ASSERT_EQ(first.information, kCapacity * (kSize + kDescriptorBytes));
  StreamChunks chunks = CheckStreamRead(first.output, first.information, kSize, kPerTransfer);
  ASSERT_EQ(chunks.fault, "");
  EXPECT_EQ(chunks.firstSequences, (std::vector<std::uint32_t>{0, 8, 16, 24, 32, 40, 48, 56}));

  // Reads at the caller's pace: whatever comes is whole chunks, in order,
  // continuous within each, with gaps only where chunks were dropped.
  std::uint32_t last = chunks.firstSequences.back();
  std::size_t dropped = 0;
  for (int round = 0; round < 6; ++round) {
    ASSERT_TRUE(WaitForPackets(instrument->IsoSequence() + 3 * kCapacity / 2));
    Reply read = ReadStream(kSize, kCapacity);
    ASSERT_TRUE(read.ok);
    StreamChunks more = CheckStreamRead(read.output, read.information, kSize, kPerTransfer);
    ASSERT_EQ(more.fault, "") << "round " << round;
    ASSERT_FALSE(more.firstSequences.empty()) << "round " << round;
    EXPECT_GT(more.firstSequences.front(), last) << "round " << round;
    dropped += (more.firstSequences.front() - last) / kPerTransfer - 1;
    for (std::size_t i = 1; i < more.firstSequences.size(); ++i) {
      EXPECT_EQ(more.firstSequences[i], more.firstSequences[i - 1] + kPerTransfer)
          << "a full ring keeps its chunks contiguous; round " << round;
    }
    last = more.firstSequences.back();
  }
  EXPECT_GT(dropped, 0u) << "the reader was slower than the stream";
  EXPECT_TRUE(StopAndWaitForEnd());
}

TEST_F(IsoTest, ReadForMoreThanTheRingHoldsGetsNothingAndAPartialReadGetsWhatThereIs) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 16, 8, 1).ok);
  ASSERT_TRUE(WaitForPackets(64));
  Reply tooMuch = ReadStream(1024, 17);
  ASSERT_TRUE(tooMuch.ok);
  EXPECT_EQ(tooMuch.information, 0u) << "17 packets are more than the 16-packet ring";
  Reply none = ReadStream(1024, 0);
  EXPECT_TRUE(none.ok) << "a read of no packets succeeds, status 0x" << std::hex << none.status;
  EXPECT_EQ(none.information, 0u);
  // Taking 6 leaves room for less than a chunk of 8, so a chunk that
  // completes before the next read is dropped whole and the rest stays 10.
  Reply partial = ReadStream(1024, 6);
  ASSERT_TRUE(partial.ok);
  EXPECT_EQ(partial.information, 6u * 1024u + 6u * 12u) << "6 of the 16 held";
  Reply rest = ReadStream(1024, 12);
  ASSERT_TRUE(rest.ok);
  EXPECT_EQ(rest.information, 10u * 1036u) << "the other 10; descriptors right after the data";
  std::optional<std::uint32_t> sequence = PacketSequence(rest.output, 0, 1024);
  ASSERT_TRUE(sequence.has_value());
  EXPECT_EQ(*sequence, 6u);
  EXPECT_EQ(DescriptorAt(rest.output, 10 * 1024).offset, 6u * 1024u) << "packet 6 is the seventh of its chunk";
  EXPECT_TRUE(StopAndWaitForEnd());
}

TEST_F(IsoTest, StoppedStreamStaysReadableUntilItsLastSlotRetiresThenReadsFail) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 256, 8, 4).ok);
  ASSERT_TRUE(WaitForPackets(64));
  ASSERT_TRUE(StopStream().ok);
  // What was gathered before the stop is still there to read.
  Reply after = ReadStream(1024, 64);
  ASSERT_TRUE(after.ok) << "status 0x" << std::hex << after.status;
  StreamChunks chunks = CheckStreamRead(after.output, after.information, 1024, 8);
  EXPECT_EQ(chunks.fault, "");
  ASSERT_FALSE(chunks.firstSequences.empty());
  EXPECT_LT(*std::min_element(chunks.firstSequences.begin(), chunks.firstSequences.end()), 64u)
      << "the first chunks are there";
  EXPECT_TRUE(ReadUntilEnded(1024, 64));
  Reply ended = ReadStream(1024, 64);
  EXPECT_EQ(ended.status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(StopStream().ok) << "a stop without a stream succeeds";
  // The device takes a new stream once the old one is gone.
  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  EXPECT_TRUE(StopAndWaitForEnd());
}

TEST_F(IsoTest, SecondStartWhileAStreamRunsIsRefusedAndLeavesTheFirstAlone) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  const km::PoolUsage running = km::PoolInUse(kDriverTag);
  Reply second = StartStream(512, 32, 4, 2);
  EXPECT_FALSE(second.ok);
  EXPECT_EQ(second.status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, running.allocations);
  ASSERT_TRUE(WaitForPackets(32));
  Reply read = ReadStream(1024, 32);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(CheckStreamRead(read.output, read.information, 1024, 8).fault, "") << "the first stream's rings";
  ASSERT_TRUE(StopStream().ok);
  EXPECT_EQ(StartStream(1024, 64, 8, 4).status, STATUS_INVALID_DEVICE_STATE) << "a stopping stream still runs";
  EXPECT_TRUE(ReadUntilEnded(1024, 8));
}

TEST_F(IsoTest, StreamReadWithAnotherPacketSizeIsRefusedAndLeavesTheRingsInStep) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(64, 256, 8, 2).ok);
  ASSERT_TRUE(WaitForPackets(64));
  for (std::uint32_t size : {48u, 20u, 128u}) {
    Reply refused = ReadStream(size, 8);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER) << "packet size " << size;
    EXPECT_EQ(refused.information, 0u);
  }
  for (int read = 0; read < 20; ++read) {
    Reply chunks = ReadStream(64, 16);
    ASSERT_TRUE(chunks.ok);
    EXPECT_EQ(CheckStreamRead(chunks.output, chunks.information, 64, 8).fault, "") << "read " << read;
  }
  EXPECT_TRUE(StopAndWaitForEnd(64, 8));
}

TEST_F(IsoTest, AllocationFailuresInAStartFailWithNoMemoryAndLeaveNothingBehind) {
  AttachInstrument();
  const km::PoolUsage before = km::PoolInUse(kDriverTag);
  int failures = 0;
  for (std::uint64_t n = 1; n <= 16; ++n) {
    km::FailNthAllocation(n);
    Reply start = StartStream(256, 32, 4, 3);
    km::ClearAllocationFailures();
    if (start.ok) break;
    EXPECT_EQ(start.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n << " failed";
    EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, before.allocations) << "allocation " << n << " failed";
    EXPECT_EQ(ReadStream(256, 4).status, STATUS_UNSUCCESSFUL) << "no rings are published";
    ++failures;
  }
  // Context, buffer, two rings of two blocks each, slot table, three blocks.
  EXPECT_EQ(failures, 10);
  EXPECT_TRUE(StopAndWaitForEnd(256, 4));
  EXPECT_EQ(DriverPoolSettlesAt(before.allocations), before.allocations);
}

TEST_F(IsoTest, SeveralReadersAtOnceEachGetWholeChunksAndNoChunkTwice) {
  AttachInstrument();
  // Rings large enough never to drop: all readers together see every chunk
  // exactly once. Each round lets data gather, then three readers ask for
  // 256 packets each at the same moment.
  constexpr std::uint32_t kSize = 512, kPerTransfer = 8, kInFlight = 4, kReadPackets = 256;
  constexpr int kReaders = 3, kRounds = 5;
  ASSERT_TRUE(StartStream(kSize, 4096, kPerTransfer, kInFlight).ok);
  std::vector<Handle> handles;
  for (int r = 0; r < kReaders; ++r) handles.push_back(Handle::Open(DevicePath(0)));
  std::vector<std::uint32_t> all;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(WaitForPackets(static_cast<std::uint32_t>(all.size()) * kPerTransfer +
                               kReaders * kReadPackets + 64));
    std::atomic<bool> go{false};
    std::vector<Reply> replies(kReaders);
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
      readers.emplace_back([&, r] {
        while (!go.load()) std::this_thread::yield();
        replies[r] = ReadStream(kSize, kReadPackets, handles[r].get());
      });
    }
    go = true;
    for (std::thread &t : readers) t.join();
    for (int r = 0; r < kReaders; ++r) {
      ASSERT_TRUE(replies[r].ok) << "round " << round << ", reader " << r;
      StreamChunks chunks = CheckStreamRead(replies[r].output, replies[r].information, kSize, kPerTransfer);
      ASSERT_EQ(chunks.fault, "") << "round " << round << ", reader " << r;
      EXPECT_EQ(chunks.firstSequences.size(), kReadPackets / kPerTransfer) << "round " << round << ", reader " << r;
      all.insert(all.end(), chunks.firstSequences.begin(), chunks.firstSequences.end());
    }
  }
  // Read the rings empty, stop, and read what is left until the stream has
  // ended: then every chunk the instrument sent has been read, once, except
  // what the last slots wrote after the last read (left in the rings when
  // they went: one chunk per slot, and what arrived between the drain's
  // last read and the stop). Data still unread when the stream ends is
  // lost, so the rings are drained first.
  for (Reply drain = ReadStream(kSize, kReadPackets); drain.ok && drain.information != 0;
       drain = ReadStream(kSize, kReadPackets)) {
    StreamChunks chunks = CheckStreamRead(drain.output, drain.information, kSize, kPerTransfer);
    ASSERT_EQ(chunks.fault, "");
    all.insert(all.end(), chunks.firstSequences.begin(), chunks.firstSequences.end());
  }
  ASSERT_TRUE(StopStream().ok);
  auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  for (;;) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the stream did not end";
    Reply rest = ReadStream(kSize, kReadPackets);
    if (!rest.ok) {
      ASSERT_EQ(rest.status, STATUS_UNSUCCESSFUL);
      break;
    }
    StreamChunks chunks = CheckStreamRead(rest.output, rest.information, kSize, kPerTransfer);
    ASSERT_EQ(chunks.fault, "");
    all.insert(all.end(), chunks.firstSequences.begin(), chunks.firstSequences.end());
  }
  std::sort(all.begin(), all.end());
  const std::uint32_t sent = instrument->IsoSequence();
  constexpr std::uint32_t kLeftInTheRings = 2 * kInFlight * kPerTransfer;
  ASSERT_GE(all.size() * kPerTransfer + kLeftInTheRings, sent);
  ASSERT_LE(all.size() * kPerTransfer, sent);
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i] != i * kPerTransfer) {
      ASSERT_GE(i * kPerTransfer + kLeftInTheRings, sent) << "chunk " << i * kPerTransfer << " lost";
      ASSERT_NE(all[i], i > 0 ? all[i - 1] : 0xFFFFFFFFu) << "chunk " << all[i] << " read twice";
    }
  }
}

TEST_F(IsoTest, ReadsRacingTheEndOfAStreamNeverTouchFreedRings) {
  AttachInstrument();
  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(StartStream(256, 32, 2, 3).ok) << "round " << round;
    std::atomic<bool> ended{false};
    std::string fault;
    std::thread reader([&] {
      Handle own = Handle::Open(DevicePath(0));
      auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
      while (std::chrono::steady_clock::now() < deadline) {
        Reply read = ReadStream(256, 6, own.get());
        if (!read.ok) {
          if (read.status != STATUS_UNSUCCESSFUL) fault = "status " + std::to_string(read.status);
          break;
        }
        std::string f = CheckStreamRead(read.output, read.information, 256, 2).fault;
        if (!f.empty()) fault = f;
      }
      ended = true;
    });
    ASSERT_TRUE(WaitForPackets(instrument->IsoSequence() + 4 * (round % 3)));
    ASSERT_TRUE(StopStream().ok);
    reader.join();
    EXPECT_TRUE(ended.load());
    EXPECT_EQ(fault, "") << "round " << round;
  }
  EXPECT_TRUE(ReadUntilEnded(256, 6));
}

TEST_F(IsoTest, StreamsOnTwoInstrumentsRunSideBySide) {
  AttachInstrument();
  auto other = std::make_shared<usb::SubstituteInstrument>();
  host::DeviceId otherId = Attach(other);
  ASSERT_TRUE(host::Started(otherId));
  Handle second = Handle::Open(DevicePath(1));
  ASSERT_TRUE(second.valid());
  ASSERT_TRUE(Call(second.get(), IOCTL_INSTR_SELECT_INTERFACE, AsBytes(InterfaceSelection{0, 1}), 0).ok);
  ASSERT_TRUE(StartStream(1024, 128, 8, 4).ok);
  ASSERT_TRUE(Call(second.get(), IOCTL_INSTR_START_ISO_STREAM, IsoRequest(pipe, 1024, 128, 8, 4), 0).ok);
  ASSERT_TRUE(WaitForPackets(64));
  auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (other->IsoSequence() < 64 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  for (HANDLE handle : {device.get(), second.get()}) {
    Reply read = ReadStream(1024, 128, handle);
    ASSERT_TRUE(read.ok);
    StreamChunks chunks = CheckStreamRead(read.output, read.information, 1024, 8);
    EXPECT_EQ(chunks.fault, "");
    ASSERT_FALSE(chunks.firstSequences.empty());
    EXPECT_EQ(*std::min_element(chunks.firstSequences.begin(), chunks.firstSequences.end()), 0u)
        << "each device has its own rings, its own first chunk among them";
  }
  ASSERT_TRUE(Call(second.get(), IOCTL_INSTR_STOP_ISO_STREAM, {}, 0).ok);
  EXPECT_TRUE(StopAndWaitForEnd());
}

// ---- Removal ------------------------------------------------------------------

TEST_F(IsoTest, PullingTheInstrumentEndsTheStreamAndTheRemovalLeavesNoPool) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  ASSERT_TRUE(WaitForPackets(64));
  host::Detach(deviceId);
  host::WaitForPnp();
  // The handle keeps the device object; the stream ends as its transfers fail.
  EXPECT_TRUE(ReadUntilEnded(1024, 8));
  device.Close();
  host::WaitForPnp();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, 0u) << "the driver left pool behind";
}

TEST_F(IsoTest, RemovalWithNoHandleOpenWaitsForTheRunningStreamsLastSlot) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  ASSERT_TRUE(WaitForPackets(32));
  device.Close();
  host::Detach(deviceId);
  host::WaitForPnp();
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
  EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, 0u) << "the driver left pool behind";
}

// The last slot's signal lets removal finish and delete the driver's last
// device while that slot's completion routine is still returning; the
// kernel holds the routine there for a while, and stops the process unless
// the routine holds the driver (IoSetCompletionRoutineEx).
TEST_F(IsoTest, RemovalLetsTheDriverGoOnlyAfterTheStreamsLastCompletionRoutine) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  ASSERT_TRUE(WaitForPackets(64));
  km::SetPauseAfterSignalInCompletion(100ms);
  EXPECT_EQ(RemoveWhilePlugged(deviceId), STATUS_SUCCESS);
  km::SetPauseAfterSignalInCompletion(0ms);
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), nullptr);
}

TEST_F(IsoTest, ShutdownWithAStreamRunningFreesIt) {
  AttachInstrument();
  ASSERT_TRUE(StartStream(1024, 64, 8, 4).ok);
  ASSERT_TRUE(WaitForPackets(32));
  device.Close();
  // TearDown shuts the host down: removal stops the stream, and unloading the
  // driver with pool or requests left would stop the process.
}

}  // namespace
}  // namespace drivertest
