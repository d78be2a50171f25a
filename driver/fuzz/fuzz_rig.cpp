#include "fuzz_rig.h"

#include <tavrin_ioctl.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tavrinfuzz {
namespace {

std::mutex g_rescueLock;
std::condition_variable g_rescueWanted;
bool g_stalled = false;
// The handle the rescuer aborts pipes on; the lock keeps it open meanwhile.
std::mutex g_fileLock;
PFILE_OBJECT g_rescueFile = nullptr;

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
    std::lock_guard guard(g_rescueLock);
    g_stalled = true;
    g_rescueWanted.notify_one();
  });
  std::thread([this] { Rescue(); }).detach();
}

void Rig::Rescue() {
  for (;;) {
    {
      std::unique_lock guard(g_rescueLock);
      g_rescueWanted.wait(guard, [] { return g_stalled; });
      g_stalled = false;
    }
    std::lock_guard guard(g_fileLock);
    if (g_rescueFile == nullptr) continue;
    for (ULONG pipe = 0; pipe < kPipesToAbort; ++pipe) {
      km::DeviceControl(g_rescueFile, IOCTL_INSTR_ABORT_PIPE, &pipe, sizeof pipe, nullptr, 0, nullptr);
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
  std::lock_guard guard(g_fileLock);
  g_rescueFile = file_;
  return file_ != nullptr;
}

void Rig::CloseHandle() {
  if (file_ == nullptr) return;
  {
    std::lock_guard guard(g_fileLock);
    g_rescueFile = nullptr;
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
