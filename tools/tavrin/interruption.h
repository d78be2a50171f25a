// Ctrl-C while a command runs: noted instead of ending the process, so that
// the command can stop cleanly and say what state it leaves behind.
#pragma once

namespace tavrin_cli {

class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch &) = delete;
  InterruptWatch &operator=(const InterruptWatch &) = delete;
  bool Interrupted() const;

 private:
  void (*previous_)(int);
};

}  // namespace tavrin_cli
