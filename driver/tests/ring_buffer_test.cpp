// The stream's byte rings on their own: the driver's ring_buffer.cpp
// compiled against the kernel stand-in. Wrap-around, all-or-nothing writes,
// partial reads, reads larger than the ring, the stream read's data and
// descriptors, and writers on several processors at DISPATCH_LEVEL at once.
#include <km/standin.h>

#include "ring_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr ULONG kDriverTag = 0x6E766154;  // 'Tavn'

Bytes Pattern(std::size_t n, std::uint8_t start) {
  Bytes bytes(n);
  std::iota(bytes.begin(), bytes.end(), start);
  return bytes;
}

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = km::PoolInUse(kDriverTag); }
  void TearDown() override {
    km::ClearAllocationFailures();
    EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, before_.allocations) << "a ring was not freed";
  }

 private:
  km::PoolUsage before_;
};

TEST_F(RingTest, CreateGivesAnEmptyRingOfTwoPoolBlocksThatFreeReleases) {
  RingBuffer *ring = RingCreate(64);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(ring->Size, 64u);
  EXPECT_EQ(ring->Count, 0u);
  EXPECT_EQ(ring->WritePointer, ring->Base);
  EXPECT_EQ(ring->ReadPointer, ring->Base);
  EXPECT_EQ(km::PoolBytesFrom(ring->Base), 64u);
  EXPECT_EQ(km::PoolInUse(kDriverTag).allocations, 2u);
  RingFree(ring);
  RingFree(nullptr);
}

TEST_F(RingTest, CreateThatCannotHaveItsStorageFreesTheHeader) {
  km::FailNthAllocation(2);
  EXPECT_EQ(RingCreate(64), nullptr);
  km::FailNthAllocation(1);
  EXPECT_EQ(RingCreate(64), nullptr);
}

TEST_F(RingTest, WriteIsAllOrNothing) {
  RingBuffer *ring = RingCreate(64);
  Bytes fifty = Pattern(50, 0);
  ASSERT_EQ(RingWrite(ring, fifty.data(), 50), 50u);
  Bytes twenty = Pattern(20, 100);
  EXPECT_EQ(RingWrite(ring, twenty.data(), 20), 0u) << "20 bytes into the 14 left";
  EXPECT_EQ(ring->Count, 50u);
  EXPECT_EQ(ring->WritePointer, ring->Base + 50) << "nothing was written";
  EXPECT_EQ(RingWrite(ring, twenty.data(), 14), 14u);
  EXPECT_EQ(ring->Count, 64u);
  EXPECT_EQ(ring->WritePointer, ring->Base) << "a write that reaches the end goes back to the start";
  EXPECT_EQ(RingWrite(ring, twenty.data(), 1), 0u) << "full";
  Bytes out(64);
  ASSERT_EQ(RingRead(ring, out.data(), 64), 64u);
  Bytes expected = fifty;
  expected.insert(expected.end(), twenty.begin(), twenty.begin() + 14);
  EXPECT_EQ(out, expected);
  RingFree(ring);
}

TEST_F(RingTest, WritesAndReadsWrapAroundTheEndOfTheStorage) {
  RingBuffer *ring = RingCreate(64);
  Bytes scratch(64);
  for (int round = 0; round < 20; ++round) {
    Bytes in = Pattern(40, static_cast<std::uint8_t>(round * 13));
    ASSERT_EQ(RingWrite(ring, in.data(), 40), 40u) << "round " << round;
    Bytes out(40);
    ASSERT_EQ(RingRead(ring, out.data(), 40), 40u) << "round " << round;
    EXPECT_EQ(out, in) << "round " << round;
    EXPECT_EQ(ring->WritePointer, ring->Base + ((round + 1) * 40) % 64);
    EXPECT_EQ(ring->ReadPointer, ring->WritePointer);
  }
  EXPECT_EQ(ring->Count, 0u);
  RingFree(ring);
}

TEST_F(RingTest, ReadGetsWhatIsHeldWhenAskedForMore) {
  RingBuffer *ring = RingCreate(64);
  Bytes in = Pattern(10, 7);
  ASSERT_EQ(RingWrite(ring, in.data(), 10), 10u);
  Bytes out(30, 0xCC);
  EXPECT_EQ(RingRead(ring, out.data(), 30), 10u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), in);
  EXPECT_EQ(out[10], 0xCC);
  EXPECT_EQ(RingRead(ring, out.data(), 30), 0u) << "empty";
  RingFree(ring);
}

TEST_F(RingTest, ReadOfMoreThanTheCapacityGetsNothingEvenFromAFullRing) {
  RingBuffer *ring = RingCreate(64);
  Bytes in = Pattern(64, 0);
  ASSERT_EQ(RingWrite(ring, in.data(), 64), 64u);
  Bytes out(65);
  EXPECT_EQ(RingRead(ring, out.data(), 65), 0u);
  EXPECT_EQ(ring->Count, 64u);
  EXPECT_EQ(RingRead(ring, out.data(), 64), 64u);
  RingFree(ring);
}

TEST_F(RingTest, StreamReadOfEightPacketsFromFortyBytesGetsFiveDescriptorsRightAfterTheData) {
  // A data ring of 64 bytes holding 40 (five 8-byte packets) and their five
  // descriptors.
  RingBuffer *data = RingCreate(64);
  RingBuffer *descriptors = RingCreate(8 * 12);
  Bytes packets = Pattern(40, 1);
  Bytes records = Pattern(60, 200);
  ASSERT_EQ(RingWrite(data, packets.data(), 40), 40u);
  ASSERT_EQ(RingWrite(descriptors, records.data(), 60), 60u);

  Bytes tooMany(9 * 20, 0xCC);
  EXPECT_EQ(RingReadStream(data, descriptors, tooMany.data(), 8, 9), 0u) << "72 data bytes are more than 64";
  EXPECT_EQ(data->Count, 40u);

  Bytes out(8 * 20, 0xCC);
  EXPECT_EQ(RingReadStream(data, descriptors, out.data(), 8, 8), 100u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 40), packets);
  EXPECT_EQ(Bytes(out.begin() + 40, out.begin() + 100), records) << "descriptors right after the data";
  EXPECT_EQ(out[100], 0xCC);
  EXPECT_EQ(data->Count, 0u);
  EXPECT_EQ(descriptors->Count, 0u);
  RingFree(data);
  RingFree(descriptors);
}

// Several writers on several processors at DISPATCH_LEVEL, as completion
// routines of different slots run, and one reader: every record that comes
// out is whole (one writer's bytes only, never two writes interleaved), and
// each writer's records all come out, once each, in the order it wrote them
// (a writer that finds the ring full tries the same record again).
TEST_F(RingTest, WritersOnSeveralProcessorsAtOnceNeverInterleave) {
  constexpr ULONG kRecord = 48;  // does not divide the ring: records wrap at every offset
  constexpr int kWriters = 4;
  constexpr std::uint32_t kWrites = 20000;
  RingBuffer *ring = RingCreate(kRecord * 64 + 40);
  std::atomic<int> running{kWriters};
  std::atomic<bool> abandon{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      Bytes record(kRecord);
      for (std::uint32_t n = 0; n < kWrites && !abandon.load();) {
        record[0] = static_cast<std::uint8_t>(w);
        std::memcpy(&record[4], &n, 4);
        for (ULONG i = 8; i < kRecord; ++i) record[i] = static_cast<std::uint8_t>(w * 31 + n + i);
        if (RingWrite(ring, record.data(), kRecord) == kRecord) {
          ++n;
        } else {
          std::this_thread::yield();
        }
      }
      KeLowerIrql(old);
      --running;
    });
  }
  std::vector<std::int64_t> lastSeen(kWriters, -1);
  std::string fault;
  Bytes record(kRecord);
  auto drain = [&] {
    while (fault.empty() && RingRead(ring, record.data(), kRecord) == kRecord) {
      int w = record[0];
      std::uint32_t n;
      std::memcpy(&n, &record[4], 4);
      bool whole = w < kWriters && record[1] == 0 && record[2] == 0 && record[3] == 0;
      for (ULONG i = 8; whole && i < kRecord; ++i) whole = record[i] == static_cast<std::uint8_t>(w * 31 + n + i);
      if (!whole) {
        fault = "a torn record";
      } else if (static_cast<std::int64_t>(n) != lastSeen[w] + 1) {
        fault = "writer " + std::to_string(w) + ": record " + std::to_string(n) + " after " +
                std::to_string(lastSeen[w]);
      } else {
        lastSeen[w] = n;
      }
    }
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (running.load() > 0 && fault.empty() && std::chrono::steady_clock::now() < deadline) {
    drain();
    std::this_thread::yield();
  }
  abandon = true;
  for (std::thread &t : writers) t.join();
  drain();
  EXPECT_EQ(fault, "");
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(lastSeen[w], static_cast<std::int64_t>(kWrites) - 1) << "writer " << w << ": every record came out";
  }
  EXPECT_EQ(ring->Count, 0u);
  RingFree(ring);
}

// A completion routine writing chunks into full rings while a reader takes
// packets out of them: every packet read comes with its own descriptor
// (the sequence number in the data equals the one in the descriptor's
// Offset), and never without one.
TEST_F(RingTest, ChunksStayMatchedAcrossBothRingsWhileAReaderRacesAFullRingWriter) {
  constexpr ULONG kPacket = 8, kPerChunk = 2, kDescriptor = 12;
  constexpr std::uint32_t kChunks = 20000;
  RingBuffer *data = RingCreate(3 * kPerChunk * kPacket);
  RingBuffer *descriptors = RingCreate(3 * kPerChunk * kDescriptor);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    std::uint32_t chunkData[kPerChunk * kPacket / 4];
    std::uint32_t chunkDescriptors[kPerChunk * kDescriptor / 4] = {};
    for (std::uint32_t chunk = 0; chunk < kChunks; ++chunk) {
      for (ULONG k = 0; k < kPerChunk; ++k) {
        std::uint32_t sequence = chunk * kPerChunk + k;
        chunkData[k * 2] = chunkData[k * 2 + 1] = sequence;
        chunkDescriptors[k * 3] = sequence;
      }
      RingWriteChunk(data, descriptors, chunkData, sizeof chunkData, chunkDescriptors, sizeof chunkDescriptors);
    }
    KeLowerIrql(old);
    done = true;
  });
  std::string fault;
  std::uint64_t packetsRead = 0;
  Bytes out(kPerChunk * (kPacket + kDescriptor));
  for (bool finished = false; fault.empty();) {
    finished = done;  // read before the ring: a last read after it finds everything the writer wrote
    ULONG got = RingReadStream(data, descriptors, out.data(), kPacket, kPerChunk);
    if (finished && got == 0) break;
    ULONG packets = got / (kPacket + kDescriptor);
    if (got != packets * (kPacket + kDescriptor)) fault = "a read of " + std::to_string(got) + " bytes";
    for (ULONG k = 0; k < packets && fault.empty(); ++k) {
      std::uint32_t inData, inDescriptor;
      std::memcpy(&inData, &out[k * kPacket], 4);
      std::memcpy(&inDescriptor, &out[packets * kPacket + k * kDescriptor], 4);
      if (inData != inDescriptor) {
        fault = "packet " + std::to_string(inData) + " came with the descriptor of " + std::to_string(inDescriptor);
      }
    }
    packetsRead += packets;
  }
  writer.join();
  EXPECT_EQ(fault, "");
  EXPECT_GT(packetsRead, 0u);
  RingFree(data);
  RingFree(descriptors);
}

}  // namespace
