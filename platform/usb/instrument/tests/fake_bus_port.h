// A bus port that records what the instrument asks of the bus, with a fake
// clock: timers the instrument schedules run only when a test advances the
// clock past them, so no test sleeps.
#pragma once

#include "substitute_instrument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace usb::test {

using std::chrono::milliseconds;

class FakeBusPort : public BusPort {
 public:
  void DataReady(std::uint8_t endpoint) override { dataReady.push_back(endpoint); }
  void Detach() override { ++detaches; }
  void Reattach(milliseconds delay) override { reattaches.push_back(delay); }
  void After(milliseconds delay, std::function<void()> work) override {
    timers.push_back(Timer{now + delay, order++, std::move(work)});
  }
  std::uint32_t FrameNumber() const override { return static_cast<std::uint32_t>(now.count()); }
  std::chrono::nanoseconds Now() const override { return now; }

  // Moves the clock on by `span`, running in time order every timer due by
  // then, those scheduled by the timers themselves included.
  void Advance(milliseconds span) {
    const milliseconds end = now + span;
    while (true) {
      auto next = std::min_element(timers.begin(), timers.end(), [](const Timer &a, const Timer &b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
      });
      if (next == timers.end() || next->due > end) break;
      Timer timer = std::move(*next);
      timers.erase(next);
      now = timer.due;
      timer.work();
    }
    now = end;
  }

  struct Timer {
    milliseconds due;
    std::uint64_t order;
    std::function<void()> work;
  };
  milliseconds now{0};
  std::uint64_t order = 0;
  std::vector<Timer> timers;
  std::vector<std::uint8_t> dataReady;
  std::vector<milliseconds> reattaches;
  int detaches = 0;
};

// One instrument attached to a fake port, with host-side helpers.
struct Bench {
  explicit Bench(InstrumentConfig config = {}) : model(std::move(config)) { model.Attached(&port); }

  Outcome Send(std::string_view text) {
    return model.Out(SubstituteInstrument::kCommandEndpoint,
                     std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
  }

  // One host transfer of up to `length` bytes, packet by packet as the bus
  // asks (never more than 512 at once), ending on a short packet; nullopt
  // when the endpoint has nothing at all.
  std::optional<std::string> Read(std::uint8_t endpoint = SubstituteInstrument::kInterrogativeEndpoint,
                                  std::size_t length = 65536) {
    std::string got;
    while (got.size() < length) {
      const std::size_t room = std::min<std::size_t>(length - got.size(), 512);
      auto packet = model.In(endpoint, room);
      if (!packet) {
        if (got.empty()) return std::nullopt;
        ADD_FAILURE() << "a line stopped midway: " << got;
        break;
      }
      got.append(packet->begin(), packet->end());
      if (packet->size() < 512) break;
    }
    return got;
  }

  // Every line waiting on `endpoint`.
  std::vector<std::string> ReadAll(std::uint8_t endpoint) {
    std::vector<std::string> lines;
    while (auto line = Read(endpoint)) lines.push_back(*line);
    return lines;
  }

  FakeBusPort port;
  SubstituteInstrument model;
};

}  // namespace usb::test
