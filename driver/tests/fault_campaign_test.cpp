// Fault campaigns: every allocation of a start, an open, each kind of
// transfer and a stream start failed in turn; allocations failing at random
// during mixed traffic; and an instrument pulled and plugged in again and
// again under eight threads of mixed traffic. Whatever fails, every request
// completes, nothing crashes, and the driver leaves no pool behind when it
// unloads (the fixture's shutdown checks that). The random and the cycle
// campaigns run briefly here; TAVRIN_FAULT_ROUNDS and TAVRIN_FAULT_CYCLES
// make them as long as wanted.
#include "driver_test_support.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

namespace drivertest {
namespace {

long FromEnvironment(const char *name, long fallback) {
  const char *text = std::getenv(name);
  long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return value > 0 ? value : fallback;
}

IsoTransferRequest Iso(std::uint32_t pipe, std::uint32_t size, std::uint32_t count, std::uint32_t perTransfer,
                       std::uint32_t inFlight) {
  return IsoTransferRequest{pipe, size, count, perTransfer, inFlight};
}

// One round of mixed traffic on a handle to the substitute instrument;
// counts the calls that completed (all of them, whatever their status).
int MixedTraffic(HANDLE handle) {
  int calls = 0;
  auto call = [&](DWORD code, const Bytes &input, DWORD output) {
    Call(handle, code, input, output);
    ++calls;
  };
  CallWithOutput(handle, IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes("*IDN?\n"));
  ++calls;
  call(IOCTL_INSTR_BULK_READ_TIMED, PipeIndex(1), 512);
  call(IOCTL_INSTR_BULK_READ_TIMED, PipeIndex(2), 512);
  call(IOCTL_INSTR_GET_INTERFACE_RECORD, Bytes(356), 356);
  call(IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, {}, 18);
  call(IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, {}, 64);
  call(IOCTL_INSTR_GET_FRAME_NUMBER, {}, 4);
  VendorDeviceRequest vendor{0x42, 0, 0, 0, 8, 1, 0};
  call(IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(vendor), 16);
  ControlRequest control{1, 2, 0, 0, 0x43, 0, 0, 0};
  call(IOCTL_INSTR_CONTROL_REQUEST, AsBytes(control), 8);
  call(IOCTL_INSTR_RESET_PIPE, PipeIndex(1), 0);
  call(IOCTL_INSTR_SELECT_INTERFACE, Bytes{0, 1}, 0);
  call(IOCTL_INSTR_ISO_READ, AsBytes(Iso(3, 64, 8, 2, 2)), 8 * (64 + 12));
  call(IOCTL_INSTR_START_ISO_STREAM, AsBytes(Iso(3, 64, 16, 2, 2)), 0);
  call(IOCTL_INSTR_READ_ISO_STREAM, AsBytes(Iso(3, 64, 4, 2, 2)), 4 * (64 + 12));
  call(IOCTL_INSTR_STOP_ISO_STREAM, {}, 0);
  call(IOCTL_INSTR_SELECT_INTERFACE, Bytes{0, 0}, 0);
  return calls;
}

class FaultCampaign : public DriverTest {
 protected:
  // Runs `scenario` with the n-th allocation of any kind failing, for n = 1,
  // 2, ... until it runs with no failure injected; after each run, and
  // `restore` without failures, the pool is what it was before. Returns how
  // many runs had a failure injected.
  int EveryAllocationInTurn(const char *name, const std::function<void()> &scenario,
                            const std::function<void()> &restore = [] {}) {
    int failed = 0;
    for (std::uint64_t n = 1; n < 400; ++n) {
      SCOPED_TRACE(std::string(name) + ": allocation " + std::to_string(n) + " fails");
      const km::PoolUsage before = km::PoolInUse();
      std::uint64_t injected = km::InjectedAllocationFailures();
      km::FailNthAnyAllocation(n);
      scenario();
      km::ClearAllocationFailures();
      restore();
      host::WaitForPnp();
      EXPECT_EQ(km::PoolInUse().allocations, before.allocations);
      if (km::InjectedAllocationFailures() == injected) return failed;
      ++failed;
    }
    ADD_FAILURE() << name << " never ran without a failure";
    return failed;
  }
};

TEST_F(FaultCampaign, EveryAllocationOfStartOpenTransfersAndStreamStartFailsInTurn) {
  int startFailures = EveryAllocationInTurn("start", [&] {
    host::DeviceId id = Attach(std::make_shared<usb::SubstituteInstrument>());
    host::Detach(id);
  });
  EXPECT_GE(startFailures, 5);

  Attach(std::make_shared<usb::SubstituteInstrument>());
  int openFailures = EveryAllocationInTurn("open", [&] { Handle::Open(DevicePath(0)); });
  EXPECT_GE(openFailures, 1) << "the file object and the create request can fail";

  Handle handle = Handle::Open(DevicePath(0));
  ASSERT_TRUE(handle.valid());
  struct Kind {
    const char *name;
    std::function<void()> run;
    // Brings back what a failure may legitimately change: a selection whose
    // record could not be copied leaves no record until the next one.
    std::function<void()> restore = [] {};
  };
  const Kind kinds[] = {
      {"bulk write", [&] { CallWithOutput(handle.get(), IOCTL_INSTR_BULK_WRITE, PipeIndex(0), TextBytes("MEAS?\n")); }},
      {"timed read", [&] { Call(handle.get(), IOCTL_INSTR_BULK_READ_TIMED, PipeIndex(1), 512); }},
      {"control request",
       [&] { Call(handle.get(), IOCTL_INSTR_CONTROL_REQUEST, AsBytes(ControlRequest{1, 2, 0, 0, 1, 0, 0, 0}), 8); }},
      {"vendor request",
       [&] { Call(handle.get(), IOCTL_INSTR_VENDOR_DEVICE_REQUEST, AsBytes(VendorDeviceRequest{1, 0, 0, 0, 4, 1, 0}), 8); }},
      {"descriptors", [&] { Call(handle.get(), IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, {}, 64); }},
      {"select interface", [&] { Call(handle.get(), IOCTL_INSTR_SELECT_INTERFACE, Bytes{0, 1}, 0); },
       [&] { Call(handle.get(), IOCTL_INSTR_SELECT_INTERFACE, Bytes{0, 0}, 0); }},
      {"isochronous read",
       [&] { Call(handle.get(), IOCTL_INSTR_ISO_READ, AsBytes(Iso(3, 64, 8, 2, 2)), 8 * (64 + 12)); }},
      {"stream start", [&] {
         Reply start = Call(handle.get(), IOCTL_INSTR_START_ISO_STREAM, AsBytes(Iso(3, 64, 16, 2, 2)), 0);
         if (!start.ok) return;
         // The stop's own request packet may be the allocation that fails.
         for (int attempt = 0; attempt < 2 && !Call(handle.get(), IOCTL_INSTR_STOP_ISO_STREAM, {}, 0).ok; ++attempt) {
         }
         // The stream ends when its last slot retires; reads then fail.
         auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
         while (Call(handle.get(), IOCTL_INSTR_READ_ISO_STREAM, AsBytes(Iso(3, 64, 4, 2, 2)), 4 * 76).ok) {
           ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the stream never ended";
         }
       }},
  };
  for (const Kind &kind : kinds) EXPECT_GE(EveryAllocationInTurn(kind.name, kind.run, kind.restore), 1) << kind.name;
}

TEST_F(FaultCampaign, OnePercentOfAllocationsFailDuringMixedTraffic) {
  const long rounds = FromEnvironment("TAVRIN_FAULT_ROUNDS", 60);
  const km::PoolUsage before = km::PoolInUse();
  std::uint64_t injected = km::InjectedAllocationFailures();
  km::FailAllocationsRandomly(0.01, 15);
  long calls = 0;
  for (long round = 0; round < rounds; round += 10) {
    host::DeviceId id = Attach(std::make_shared<usb::SubstituteInstrument>());
    {
      Handle handle = Handle::Open(DevicePath(0));
      for (int k = 0; k < 10 && handle.valid(); ++k) calls += MixedTraffic(handle.get());
    }
    host::Detach(id);
  }
  km::ClearAllocationFailures();
  host::WaitForPnp();
  RecordProperty("Calls", static_cast<int>(calls));
  EXPECT_GT(km::InjectedAllocationFailures(), injected) << "nothing failed";
  EXPECT_EQ(km::PoolInUse().allocations, before.allocations);
}

TEST_F(FaultCampaign, InstrumentPulledAndPluggedInAgainUnderEightThreadsOfMixedTraffic) {
  const long cycles = FromEnvironment("TAVRIN_FAULT_CYCLES", 25);
  // The instrument plugged in again takes the lowest name free: TAVRIN-0
  // while nothing holds the one pulled out any more, the next one while a
  // worker's handle still keeps it. The workers open whichever it took.
  std::atomic<int> slot{0};
  auto attach = [&] {
    host::DeviceId attached = Attach(std::make_shared<usb::SubstituteInstrument>());
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    for (int s = 0; std::chrono::steady_clock::now() < deadline; s = (s + 1) % 10) {
      if (Handle::Open(DevicePath(s)).valid()) {
        slot = s;
        break;
      }
    }
    return attached;
  };
  host::DeviceId id = attach();
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&] {
      while (!stop) {
        Handle handle = Handle::Open(DevicePath(slot));
        if (!handle.valid()) {
          std::this_thread::yield();
          continue;
        }
        calls += MixedTraffic(handle.get());
      }
      ++finished;
    });
  }
  for (long cycle = 0; cycle < cycles; ++cycle) {
    long seen = calls;
    auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
    while (calls < seen + 8 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_GE(calls, seen + 8) << "traffic stalled in cycle " << cycle;
    host::Detach(id);
    id = attach();
    ASSERT_TRUE(host::Started(id)) << "cycle " << cycle;
  }
  stop = true;
  // Every call returns: a worker still busy after the bound is a hang, which
  // pulling the instrument then ends.
  auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (finished < 8 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(finished.load(), 8) << "a request never completed";
  if (finished < 8) host::Detach(id);
  for (std::thread &worker : workers) worker.join();
  RecordProperty("Calls", static_cast<int>(calls.load()));
  host::Detach(id);
}

}  // namespace
}  // namespace drivertest
