// Library-style traffic from several threads (open, interface record, one
// transfer, close) while the instrument is pulled and plugged in again and
// again: no request hangs, every handle is closed, nothing leaks, and the
// removed devices are gone at the end.
#include "driver_test_support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace drivertest {
namespace {

using StressTest = DriverTest;

constexpr int kWorkers = 4;
constexpr int kCycles = 20;
constexpr auto kStressTimeout = 120s;

// What the workers have done so far: sequences run and transfers that
// reached an instrument, for the thread that pulls it to wait on.
class Progress {
 public:
  void Step(bool transferred) {
    {
      std::lock_guard guard(lock_);
      ++steps_;
      transfers_ += transferred ? 1 : 0;
    }
    changed_.notify_all();
  }
  void Finished() {
    {
      std::lock_guard guard(lock_);
      ++finished_;
    }
    changed_.notify_all();
  }
  long Steps() {
    std::lock_guard guard(lock_);
    return steps_;
  }
  long Transfers() {
    std::lock_guard guard(lock_);
    return transfers_;
  }
  // False when `timeout` passed first.
  bool WaitForSteps(long steps, std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return steps_ >= steps; });
  }
  bool WaitForTransfers(long transfers, std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return transfers_ >= transfers; });
  }
  bool WaitForFinished(int workers, std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return finished_ >= workers; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  long steps_ = 0;
  long transfers_ = 0;
  int finished_ = 0;
};

TEST_F(StressTest, LibraryStyleTrafficWhileTheInstrumentIsPulledAndPluggedInTwentyTimes) {
  auto instrument = std::make_shared<usb::SubstituteInstrument>();
  host::DeviceId id = Attach(instrument);
  ASSERT_TRUE(host::Started(id));

  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::atomic<long> returned{0};
  std::atomic<long> writes{0};
  std::atomic<long> reads{0};
  Progress progress;

  auto control = [&](HANDLE handle, DWORD code, const Bytes &input, Bytes output) {
    ++sent;
    Reply reply = CallWithOutput(handle, code, input, std::move(output));
    ++returned;
    return reply;
  };

  auto worker = [&](int which) {
    for (long k = 0; !stop; ++k) {
      Handle handle;
      for (int slot = 0; slot < 16 && !handle.valid(); ++slot) handle = Handle::Open(DevicePath(slot));
      bool transferred = false;
      if (handle.valid()) {
        Bytes record(TAVRIN_RECORD_BUFFER_BYTES, 0);
        Reply pipes = control(handle.get(), IOCTL_INSTR_GET_INTERFACE_RECORD, record, record);
        if (pipes.ok && pipes.information >= 96 && pipes.output[TAVRIN_RECORD_ENDPOINT_OFFSET(0)] == 0x01) {
          if ((k + which) % 2 == 0) {
            std::string command = "ECHO " + std::to_string(which) + "-" + std::to_string(k) + "\n";
            transferred = control(handle.get(), IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes(command)).ok;
            writes += transferred ? 1 : 0;
          } else {
            transferred = control(handle.get(), IOCTL_INSTR_BULK_READ_TIMED, PipeIndex(1), Bytes(64, 0)).ok;
            reads += transferred ? 1 : 0;
          }
        }
        handle.Close();
      }
      progress.Step(transferred);
    }
    progress.Finished();
  };

  std::vector<std::thread> workers;
  for (int k = 0; k < kWorkers; ++k) workers.emplace_back(worker, k);

  for (int cycle = 0; cycle < kCycles; ++cycle) {
    // Traffic reaches the instrument before it is pulled each time.
    if (!progress.WaitForTransfers(progress.Transfers() + 6, kEventTimeout)) {
      ADD_FAILURE() << "no transfer reached the instrument, cycle " << cycle;
      break;
    }
    host::Detach(id);
    if (!progress.WaitForSteps(progress.Steps() + 4, kEventTimeout)) {
      ADD_FAILURE() << "no progress while the instrument was out, cycle " << cycle;
      break;
    }
    id = host::Attach(instrument);
    EXPECT_TRUE(host::Started(id)) << "cycle " << cycle;
  }
  EXPECT_TRUE(progress.WaitForTransfers(progress.Transfers() + 6, kEventTimeout)) << "after the last plug-in";
  stop = true;

  if (!progress.WaitForFinished(kWorkers, kStressTimeout)) {
    ADD_FAILURE() << "a request never completed: " << sent.load() << " sent, " << returned.load() << " returned";
    std::fflush(stdout);
    std::abort();  // the blocked thread cannot be joined
  }
  for (std::thread &t : workers) t.join();

  EXPECT_EQ(sent.load(), returned.load());
  EXPECT_EQ(km::OpenFileCount(), 0u);
  host::WaitForPnp();

  // Every pulled device went with its last handle; only the last one is left.
  int devices = 0;
  for (int slot = 0; slot < 16; ++slot) {
    PDEVICE_OBJECT found = km::LookupDevice(DeviceName(slot));
    if (found == nullptr) continue;
    ++devices;
    EXPECT_EQ(found, host::TopDevice(id)) << "slot " << slot;
  }
  EXPECT_EQ(devices, 1);
  RecordProperty("Writes", static_cast<int>(writes.load()));
  RecordProperty("Reads", static_cast<int>(reads.load()));
}

}  // namespace
}  // namespace drivertest
