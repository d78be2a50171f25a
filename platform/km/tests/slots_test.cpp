// The slot arenas when their reserve runs out: slots freed a moment ago wait
// in their thread's quarantine, and are taken back, oldest first, before an
// allocation fails.
#include "slots.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace {

using km::internal::SlotArena;

TEST(SlotArena, QuarantinedSlotsOfAnyThreadAreTakenBackOldestFirstBeforeAnAllocationFails) {
  // Arenas live as long as the process, as the kernel's do: threads hand
  // their caches back to them when they exit.
  SlotArena &arena = *new SlotArena(0, nullptr, {64}, 2 * SlotArena::kChunkBytes);
  std::vector<void *> live;
  while (void *body = arena.Allocate(0)) live.push_back(body);
  ASSERT_GT(live.size(), 4u);

  // Freed by this thread: the next allocation takes it back.
  void *mine = live.back();
  ASSERT_TRUE(arena.Free(mine));
  EXPECT_EQ(arena.Allocate(0), mine);

  // Freed by a thread that is still running: taken out of its quarantine.
  std::promise<void> freed, finish;
  std::thread other([&] {
    arena.Free(live[0]);
    arena.Free(live[1]);
    freed.set_value();
    finish.get_future().wait();
  });
  freed.get_future().wait();
  EXPECT_EQ(arena.Allocate(0), live[0]) << "the oldest first";
  EXPECT_EQ(arena.Allocate(0), live[1]);
  EXPECT_EQ(arena.Allocate(0), nullptr) << "nothing is left";
  finish.set_value();
  other.join();
}

}  // namespace
