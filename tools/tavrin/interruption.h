// Ctrl-C while a command runs: noted instead of ending the process, so that
// the command can stop cleanly and say what state it leaves behind.
#pragma once

#include <chrono>

namespace tavrin_cli {

class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch &) = delete;
  InterruptWatch &operator=(const InterruptWatch &) = delete;
  bool Interrupted() const;
  // Sleeps for `duration`, or less when Ctrl-C comes meanwhile; whether it
  // did not.
  bool Sleep(std::chrono::milliseconds duration) const;

 private:
  void (*previous_)(int);
};

}  // namespace tavrin_cli
