// The two reply channels: answer lines queued on the interrogative (0x81) and
// formatted (0x82) bulk IN endpoints and handed to the bus packet by packet.
// Every line ends its own transfer: its last packet is short, or, when it
// fills a whole 512-byte packet, an empty packet follows it.
#include "substitute_instrument.h"

#include <algorithm>

namespace usb {

std::deque<SubstituteInstrument::ReplyLine> *SubstituteInstrument::Channel(std::uint8_t endpoint) {
  if (endpoint == kInterrogativeEndpoint) return &interrogative_;
  if (endpoint == kFormattedEndpoint) return &formatted_;
  return nullptr;
}

void SubstituteInstrument::Queue(Effects &fx, std::uint8_t endpoint, std::string text, bool rebootAfter) {
  auto *channel = Channel(endpoint);
  if (channel == nullptr) return;
  channel->push_back(ReplyLine{std::move(text), 0, false, rebootAfter});
  // Transfers the host already has waiting on the endpoint are retried; one
  // notice per endpoint is enough however many lines were queued.
  if (std::find(fx.dataReady.begin(), fx.dataReady.end(), endpoint) == fx.dataReady.end())
    fx.dataReady.push_back(endpoint);
}

void SubstituteInstrument::QueueAfter(Effects &fx, std::chrono::milliseconds delay, std::uint8_t endpoint,
                                      std::string text, bool rebootAfter) {
  if (delay.count() <= 0) {
    Queue(fx, endpoint, std::move(text), rebootAfter);
    return;
  }
  const std::uint64_t generation = outputGeneration_;
  Schedule(fx, delay, [this, generation, endpoint, text = std::move(text), rebootAfter](Effects &later) {
    if (generation != outputGeneration_) {
      // *RST dropped the line while it waited; a reboot it announced still
      // happens.
      if (rebootAfter) Reboot(later);
      return;
    }
    Queue(later, endpoint, text, rebootAfter);
  });
}

void SubstituteInstrument::Answer(Effects &fx, std::string line) {
  line.push_back('\n');
  QueueAfter(fx, config_.answerDelay, kInterrogativeEndpoint, std::move(line), false);
}

void SubstituteInstrument::ClearReplies(Effects &fx) {
  ++outputGeneration_;
  bool reboot = false;
  for (auto *channel : {&interrogative_, &formatted_}) {
    for (const auto &line : *channel) reboot = reboot || line.rebootAfter;
    channel->clear();
  }
  if (reboot) Schedule(fx, std::chrono::milliseconds{0}, [this](Effects &later) { Reboot(later); });
}

void SubstituteInstrument::Reboot(Effects &fx) {
  ++resets_;
  fx.reattach = config_.resetDelay;
}

std::optional<Bytes> SubstituteInstrument::In(std::uint8_t endpoint, std::size_t maxLength) {
  Effects fx;
  Bytes packet;
  {
    std::lock_guard lock(mutex_);
    auto *channel = Channel(endpoint);
    if (channel == nullptr || channel->empty()) return std::nullopt;
    ReplyLine &line = channel->front();
    bool finished = false;
    if (line.zeroLengthDue) {
      finished = true;  // the empty packet that ends a line of whole packets
    } else if (maxLength == 0 && !line.text.empty()) {
      return packet;  // a transfer with no room takes nothing
    } else {
      const std::size_t n = std::min(line.text.size() - line.sent, maxLength);
      packet.assign(line.text.begin() + static_cast<std::ptrdiff_t>(line.sent),
                    line.text.begin() + static_cast<std::ptrdiff_t>(line.sent + n));
      line.sent += n;
      if (line.sent == line.text.size()) {
        // A full packet does not end the host's transfer; an empty one must
        // follow.
        if (n > 0 && n % kBulkPacketSize == 0)
          line.zeroLengthDue = true;
        else
          finished = true;
      }
    }
    if (finished) {
      const bool reboot = line.rebootAfter;
      channel->pop_front();
      // The final acknowledgement of a RESET download is out: the instrument
      // reboots once this packet has reached the host.
      if (reboot) Schedule(fx, std::chrono::milliseconds{0}, [this](Effects &later) { Reboot(later); });
    }
  }
  Perform(fx);
  return packet;
}

}  // namespace usb
