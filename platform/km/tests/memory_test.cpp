// Pool accounting and failure injection, and memory descriptor lists.
#include "test_driver.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr ULONG kTag = 0x74736554;  // 'Test'
constexpr ULONG kOtherTag = 0x72687430;

TEST(Pool, AllocationsAreCountedByTagAndByDriver) {
  kmtest::TestDriver driver;
  km::PoolUsage before = km::PoolInUse(kTag);
  PVOID a;
  PVOID b;
  {
    km::DriverScope scope(driver.object());
    a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    b = ExAllocatePoolWithTag(NonPagedPool, 28, kOtherTag);
  }
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(km::PoolInUse(kTag).allocations, before.allocations + 1);
  EXPECT_EQ(km::PoolInUse(kTag).bytes, before.bytes + 100);
  EXPECT_EQ(km::PoolInUseBy(driver.object()).allocations, 2u);
  EXPECT_EQ(km::PoolInUseBy(driver.object()).bytes, 128u);
  ExFreePoolWithTag(a, kTag);
  ExFreePool(b);
  EXPECT_EQ(km::PoolInUseBy(driver.object()).allocations, 0u);
}

TEST(Pool, NthAllocationFailsOnce) {
  km::FailNthAllocation(2);
  PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  km::ClearAllocationFailures();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  ExFreePool(first);
  ExFreePool(third);
}

TEST(Pool, TaggedAllocationsFailUntilCleared) {
  km::FailAllocationsWithTag(kTag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
  EXPECT_NE(other, nullptr);
  ExFreePool(other);
  km::ClearAllocationFailures();
  PVOID again = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(again, nullptr);
  ExFreePool(again);
}

TEST(Pool, BytesFromAnAddressRunToTheEndOfItsBlock) {
  auto *a = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
  auto *b = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 7, kTag));
  PVOID empty = ExAllocatePoolWithTag(NonPagedPool, 0, kTag);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(km::PoolBytesFrom(a), 100u);
  EXPECT_EQ(km::PoolBytesFrom(a + 1), 99u);
  EXPECT_EQ(km::PoolBytesFrom(a + 99), 1u);
  EXPECT_EQ(km::PoolBytesFrom(a + 100), 0u) << "the rounding past the size asked for is not the caller's";
  EXPECT_EQ(km::PoolBytesFrom(b), 7u);
  EXPECT_EQ(km::PoolBytesFrom(b + 6), 1u);
  EXPECT_EQ(km::PoolBytesFrom(b + 7), 0u);
  EXPECT_EQ(km::PoolBytesFrom(empty), 0u) << "an empty block holds no byte";
  char onStack[16] = {};
  EXPECT_EQ(km::PoolBytesFrom(onStack), 0u);
  EXPECT_EQ(km::PoolBytesFrom(nullptr), 0u);
  ExFreePool(a);
  EXPECT_EQ(km::PoolBytesFrom(a), 0u) << "a freed block is no longer pool";
  EXPECT_EQ(km::PoolBytesFrom(b + 3), 4u);
  ExFreePool(b);
  ExFreePool(empty);
  EXPECT_EQ(km::PoolBytesFrom(b + 3), 0u);
}

#if defined(__SANITIZE_ADDRESS__)
// The rounding of a block to 16 bytes is poisoned, so that the sanitizer
// catches code that reads one byte past the size it was given.
TEST(PoolDeathTest, ReadingPastTheSizeAskedForStops) {
  auto *block = static_cast<volatile char *>(ExAllocatePoolWithTag(NonPagedPool, 9, kTag));
  ASSERT_NE(block, nullptr);
  block[8] = 42;
  EXPECT_EQ(block[8], 42) << "the last byte asked for is usable";
  EXPECT_DEATH((void)block[9], "AddressSanitizer");
  ExFreePool(const_cast<char *>(block));
}
#endif

TEST(Mdl, DescribesTheCallersOwnBufferAndMapsItInPlace) {
  alignas(4096) static char buffer[3 * 4096];
  char *start = buffer + 4000;
  PMDL mdl = IoAllocateMdl(start, 5000, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), 4000u);
  EXPECT_EQ(mdl->StartVa, buffer);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start) << "already mapped";
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  EXPECT_EQ(IoAllocateMdl(start, 0, FALSE, FALSE, nullptr), nullptr);
}

// Pages locked for reading are readable through the mapping; a write
// through it stops the process when the pages are unlocked.
TEST(Mdl, PagesLockedForReadStopTheProcessWhenWrittenThrough) {
  char caller[16] = "read only";
  PMDL mdl = IoAllocateMdl(caller, sizeof caller, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
  auto *mapped = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_NE(mapped, nullptr);
  EXPECT_STREQ(mapped, "read only");
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  EXPECT_DEATH(
      {
        PMDL locked = IoAllocateMdl(caller, sizeof caller, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(locked, UserMode, IoReadAccess);
        static_cast<char *>(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority))[0] = 'R';
        MmUnlockPages(locked);
      },
      "written into a buffer locked for read access only");
  EXPECT_STREQ(caller, "read only") << "the caller's pages never changed";
}

TEST(Mdl, NonPagedPoolNeedsNoMapping) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
  PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
  IoFreeMdl(mdl);
  ExFreePool(block);
}

// Packets, pool blocks and MDLs that one thread allocates and another frees
// (more than a thread keeps back, so that they travel between threads) are
// counted exactly once both threads are gone, and can be allocated again.
TEST(Memory, ObjectsFreedOnAnotherThreadAreCountedExactly) {
  kmtest::TestDriver driver;
  constexpr int kCount = 3000;
  static char buffer[64];
  const std::size_t mdlsBefore = km::MdlsInUse();
  for (int round = 0; round < 2; ++round) {
    std::vector<PIRP> irps;
    std::vector<PVOID> blocks;
    std::vector<PMDL> mdls;
    std::thread([&] {
      km::DriverScope scope(driver.object());
      for (int i = 0; i < kCount; ++i) {
        irps.push_back(IoAllocateIrp(static_cast<CCHAR>(1 + i % 4), FALSE));
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 1 + i % 200, kTag));
        mdls.push_back(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr));
      }
    }).join();
    EXPECT_EQ(km::RequestsInUseBy(driver.object()), std::size_t{kCount});
    EXPECT_EQ(km::PoolInUseBy(driver.object()).allocations, std::size_t{kCount});
    EXPECT_EQ(km::MdlsInUse(), mdlsBefore + kCount);
    std::thread([&] {
      for (int i = 0; i < kCount; ++i) {
        IoFreeIrp(irps[i]);
        ExFreePoolWithTag(blocks[i], kTag);
        IoFreeMdl(mdls[i]);
      }
    }).join();
    EXPECT_EQ(km::RequestsInUseBy(driver.object()), 0u);
    EXPECT_EQ(km::PoolInUseBy(driver.object()).allocations, 0u);
    EXPECT_EQ(km::MdlsInUse(), mdlsBefore);
  }
}

}  // namespace
