#include "fuzz_rig.h"

#include <tavrin_ioctl.h>

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
};
RescueState &State() {
  static RescueState *state = new RescueState;
  return *state;
}

// The pipes a record can name: more than any device here has.
constexpr ULONG kPipesToAbort = 32;

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
  for (;;) {
    RescueState &state = State();
    {
      std::unique_lock guard(state.lock);
      state.wanted.wait(guard, [&] { return state.stalled; });
      state.stalled = false;
    }
    std::lock_guard guard(state.fileLock);
    if (state.file == nullptr) continue;
    for (ULONG pipe = 0; pipe < kPipesToAbort; ++pipe) {
      km::DeviceControl(state.file, IOCTL_INSTR_ABORT_PIPE, &pipe, sizeof pipe, nullptr, 0, nullptr);
    }
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
  host::WaitForPnp();  // a pulled device goes with its last handle
}

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
  return km::DeviceControl(file_, code, input, inputLength, output, outputLength, information);
}

}  // namespace tavrinfuzz
