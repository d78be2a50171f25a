#include "interruption.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

namespace tavrin_cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void NoteInterrupt(int) { g_interrupted = 1; }

}  // namespace

InterruptWatch::InterruptWatch() {
  g_interrupted = 0;
  previous_ = std::signal(SIGINT, NoteInterrupt);
}

InterruptWatch::~InterruptWatch() { std::signal(SIGINT, previous_); }

bool InterruptWatch::Interrupted() const { return g_interrupted != 0; }

bool InterruptWatch::Sleep(std::chrono::milliseconds duration) const {
  // In short slices: a signal does not end a sleep that the library resumes.
  constexpr auto kSlice = std::chrono::milliseconds(10);
  const auto end = std::chrono::steady_clock::now() + duration;
  for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
    if (Interrupted()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kSlice, end - now));
  }
  return !Interrupted();
}

}  // namespace tavrin_cli
