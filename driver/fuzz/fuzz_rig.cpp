#include "fuzz_rig.h"

#include <tavrin_ioctl.h>

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tavrinfuzz {
namespace {

// What the rescuer waits on. Never destroyed: the rescuer still waits on it
// while the process exits.
struct RescueState {
  std::mutex lock;
  std::condition_variable wanted;
  bool stalled = false;
  // The handle the rescuer aborts pipes on; the lock keeps it open meanwhile.
  std::mutex fileLock;
  PFILE_OBJECT file = nullptr;
  // A call on the rig's handle is running; guarded by fileLock.
  bool calling = false;
};
RescueState &State() {
  static RescueState *state = new RescueState;
  return *state;
}

// The pipes a record can name: more than any device here has.
constexpr ULONG kPipesToAbort = 32;

// A blocking read while something else keeps time moving (an instrument's
// periodic stream, a stream's frames) never stalls the clock, yet may never
// end either: the clock stops this much virtual time after a call began,
// which counts as a stall and rescues the call too. Longer than any call
// here takes when it ends by itself (a timed read waits 1 ms, an
// isochronous transfer some milliseconds); each millisecond a stream runs
// costs thread switches.
constexpr std::int64_t kLongestCallNs = 50'000'000;

}  // namespace

Rig &Rig::Instance() {
  static Rig *rig = new Rig;  // lives until exit, with its rescuer
  return *rig;
}

Rig::Rig() {
  km::UseVirtualClock(true);
  km::SetVirtualClockStallHandler([] {
    std::lock_guard guard(State().lock);
    State().stalled = true;
    State().wanted.notify_one();
  });
  std::thread([this] { Rescue(); }).detach();
}

void Rig::Rescue() {
  RescueState &state = State();
  std::unique_lock guard(state.lock);
  for (;;) {
    state.wanted.wait(guard, [&] { return state.stalled; });
    state.stalled = false;
    guard.unlock();
    {
      std::lock_guard files(state.fileLock);
      // A call that the rescue does not end gets as long again.
      if (state.calling) km::SetVirtualClockLimit(km::ClockNanoseconds() + kLongestCallNs);
      for (ULONG pipe = 0; state.file != nullptr && pipe < kPipesToAbort; ++pipe) {
        km::DeviceControl(state.file, IOCTL_INSTR_ABORT_PIPE, &pipe, sizeof pipe, nullptr, 0, nullptr);
      }
    }
    guard.lock();
  }
}

bool Rig::Attach(std::shared_ptr<usb::DeviceModel> model) {
  Detach();
  id_ = host::Attach(std::move(model));
  attached_ = plugged_ = true;
  return host::Started(id_) && OpenHandle();
}

bool Rig::OpenHandle() {
  CloseHandle();
  if (km::OpenFile(u"\\??\\TAVRIN-0", &file_) != STATUS_SUCCESS) file_ = nullptr;
  std::lock_guard guard(State().fileLock);
  State().file = file_;
  return file_ != nullptr;
}

void Rig::CloseHandle() {
  if (file_ == nullptr) return;
  {
    std::lock_guard guard(State().fileLock);
    State().file = nullptr;
  }
  km::CloseFile(file_);
  file_ = nullptr;
  if (!plugged_) host::WaitForPnp();  // a pulled device goes with its last handle
}

bool Rig::Called(ULONG code) const { return std::find(called_.begin(), called_.end(), code) != called_.end(); }

bool Rig::started() const { return attached_ && plugged_ && host::Started(id_); }

void Rig::Unplug() {
  if (!plugged_) return;
  host::Detach(id_);
  plugged_ = false;
}

void Rig::StopAndRestart() {
  if (plugged_) host::StopAndRestart(id_);
}

void Rig::SleepAndWake() {
  if (plugged_) host::SleepAndWake(id_);
}

void Rig::Detach() {
  if (!attached_) return;
  Unplug();
  CloseHandle();
  attached_ = false;
}

NTSTATUS Rig::Call(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength,
                   ULONG_PTR *information) {
  if (file_ == nullptr) return STATUS_INVALID_HANDLE;
  if (!Called(code)) called_.push_back(code);
  RescueState &state = State();
  {
    std::lock_guard guard(state.fileLock);
    state.calling = true;
    km::SetVirtualClockLimit(km::ClockNanoseconds() + kLongestCallNs);
  }
  NTSTATUS status = km::DeviceControl(file_, code, input, inputLength, output, outputLength, information);
  std::lock_guard guard(state.fileLock);
  state.calling = false;
  km::SetVirtualClockLimit(std::nullopt);
  return status;
}

}  // namespace tavrinfuzz
