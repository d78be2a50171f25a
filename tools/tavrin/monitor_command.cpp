// `tavrin monitor`: both reply channels as the instrument sends them, one
// printed line per line sent, each with its channel's prefix ("I> "
// interrogative, "F> " formatted), bytes that are not text escaped.
#include "commands.h"

#include "instrument_channels.h"
#include "interruption.h"
#include "text_escape.h"

#include <chrono>
#include <iostream>
#include <thread>

namespace tavrin_cli {
namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(100);

// One channel's bytes cut into lines; a line that stays unfinished for a
// whole poll is shown as it is.
class ChannelLines {
 public:
  ChannelLines(const Options &options, const char *channel, const char *prefix)
      : options_(options), channel_(channel), prefix_(prefix) {}

  // Whether anything arrived.
  bool Take(const std::string &name, int channelNumber) {
    bool any = false;
    while (auto chunk = Read(name, channelNumber, kReplyReadBytes)) {
      pending_ += *chunk;
      any = true;
    }
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      Show(pending_.substr(0, end + 1));
      pending_.erase(0, end + 1);
    }
    if (!any) Flush();
    return any;
  }

  void Flush() {
    if (!pending_.empty()) Show(pending_);
    pending_.clear();
  }

 private:
  void Show(const std::string &line) {
    if (options_.json) {
      JsonWriter json = SuccessObject();
      json.Field("channel", channel_).TextField("text", line);
      Succeed(options_, json, "");
      return;
    }
    bool ended = line.back() == '\n';
    std::string text = EscapeBytes(ended ? line.substr(0, line.size() - 1) : line, true);
    std::cout << prefix_ << text << "\n" << std::flush;
  }

  const Options &options_;
  const char *channel_;
  const char *prefix_;
  std::string pending_;
};

}  // namespace

int MonitorCommand(const Options &options, const std::string &name, double seconds) {
  auto listed = Resolve(name);
  if (!listed) return Fail(options, kNoInstrument, "no instrument named " + name);
  InterruptWatch interrupt;
  ChannelLines interrogative(options, "interrogative", "I> ");
  ChannelLines formatted(options, "formatted", "F> ");
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!interrupt.Interrupted() && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    bool interrogativeArrived = interrogative.Take(*listed, 1);
    bool formattedArrived = formatted.Take(*listed, 2);
    // A read cannot tell an idle instrument from one that left (unplugged,
    // or restarting after a download): a quiet poll asks whether it is
    // still there. A restart keeps it away for far longer than a poll.
    if (!interrogativeArrived && !formattedArrived && !Present(*listed)) {
      return Fail(options, kDeviceError, "monitoring ended: " + *listed + " went away");
    }
    std::this_thread::sleep_for(kPollPeriod);
  }
  interrogative.Flush();
  formatted.Flush();
  return kOk;
}

}  // namespace tavrin_cli
