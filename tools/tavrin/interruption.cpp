#include "interruption.h"

#include <atomic>
#include <csignal>

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

}  // namespace tavrin_cli
