// How waits pass: real time for programs, a stepped clock for tests, so that
// a time-out can be tested without sleeping.
#pragma once

#include <chrono>

namespace Client {

class Pace {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~Pace() = default;
  virtual Clock::time_point Now() = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// The steady clock and the thread's own sleep.
Pace &Real_Pace();

// A clock that moves only when something sleeps on it.
class Stepped_Pace final : public Pace {
 public:
  Clock::time_point Now() override { return now_; }
  void Sleep(std::chrono::milliseconds duration) override { now_ += duration; }

 private:
  Clock::time_point now_{};
};

}  // namespace Client
