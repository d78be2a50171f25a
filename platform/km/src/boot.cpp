// Bringing the embedded system up on first use: the boot routine runs once,
// on the first open after it was set; concurrent first opens wait for it.
#include "internal.h"

namespace km {
namespace {
std::mutex g_bootLock;
std::function<void()> g_boot;
std::atomic<bool> g_booted{false};
thread_local bool t_booting = false;
}  // namespace

void SetBootRoutine(std::function<void()> boot) {
  std::lock_guard guard(g_bootLock);
  g_boot = std::move(boot);
  g_booted = false;
}

void EnsureBooted() {
  if (g_booted.load() || t_booting) return;  // the boot routine itself opens devices
  std::lock_guard guard(g_bootLock);
  if (g_booted.load() || !g_boot) return;
  t_booting = true;
  g_boot();
  t_booting = false;
  g_booted = true;
}

}  // namespace km
