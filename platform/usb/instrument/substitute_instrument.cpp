// The instrument's life on the bus: arrival and departure, configuration and
// alternate settings, the command channel's OUT transfers, the isochronous
// stream, and the state the tests and tools read. Requests to the bus are
// gathered under the mutex and carried out after it is released.
#include "substitute_instrument.h"

namespace usb {

SubstituteInstrument::SubstituteInstrument(InstrumentConfig config) : config_(std::move(config)) {}

SubstituteInstrument::~SubstituteInstrument() = default;

void SubstituteInstrument::Perform(Effects &fx) {
  // The port is looked up before each request: the bus may detach the
  // instrument while one of them runs.
  for (const auto endpoint : fx.dataReady)
    if (auto *bus = port()) bus->DataReady(endpoint);
  for (auto &[delay, work] : fx.timers)
    if (auto *bus = port()) bus->After(delay, std::move(work));
  if (fx.detach)
    if (auto *bus = port()) bus->Detach();
  if (fx.reattach)
    if (auto *bus = port()) bus->Reattach(*fx.reattach);
}

void SubstituteInstrument::Schedule(Effects &fx, std::chrono::milliseconds delay,
                                    std::function<void(Effects &)> work) {
  std::weak_ptr<int> alive = lifetime_;
  const std::uint64_t attachment = attachment_;
  fx.timers.emplace_back(delay, [this, alive, attachment, work = std::move(work)] {
    if (alive.expired()) return;
    Effects later;
    {
      std::lock_guard lock(mutex_);
      if (attachment != attachment_) return;  // the instrument left the bus since
      work(later);
    }
    Perform(later);
  });
}

void SubstituteInstrument::Attached(BusPort *port) {
  Effects fx;
  {
    std::lock_guard lock(mutex_);
    DeviceModel::Attached(port);
    ++attachment_;
    unplugged_ = false;
    alternate_ = 0;
    isoSequence_ = 0;
    lineBuffer_.clear();
    lineOverflow_ = false;
    StartStream(fx, config_.streamPeriod);
  }
  Perform(fx);
}

void SubstituteInstrument::Detached() {
  std::lock_guard lock(mutex_);
  // Everything that lived only while powered goes: queued answers, a partial
  // download or command line, streaming, and (through the attachment count)
  // every timer still pending. Stored images stay, as in flash.
  ++attachment_;
  ++outputGeneration_;
  ++streamGeneration_;
  interrogative_.clear();
  formatted_.clear();
  download_.reset();
  lineBuffer_.clear();
  lineOverflow_ = false;
  alternate_ = 0;
  DeviceModel::Detached();
}

Outcome SubstituteInstrument::SetConfiguration(std::uint8_t value) {
  if (value != 0 && value != kConfigurationValue) return Outcome::Stall;
  std::lock_guard lock(mutex_);
  alternate_ = 0;
  return Outcome::Ok;
}

Outcome SubstituteInstrument::SetInterface(std::uint8_t interface, std::uint8_t alternate) {
  if (interface != kInterfaceNumber || alternate > 1) return Outcome::Stall;
  std::lock_guard lock(mutex_);
  alternate_ = alternate;
  // Selecting the streaming setting starts the signal afresh at packet 0.
  if (alternate == 1) isoSequence_ = 0;
  return Outcome::Ok;
}

Outcome SubstituteInstrument::Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
  Effects fx;
  Outcome outcome = Outcome::Ok;
  {
    std::lock_guard lock(mutex_);
    if (endpoint != kCommandEndpoint || config_.commandPipeStalled) return Outcome::Stall;
    if (unplugged_) return Outcome::NotResponding;
    std::size_t taken = 0;
    while (taken < data.size() && !unplugged_) {
      // A download begun by a line takes the rest of the same transfer.
      if (download_)
        taken += TakeImageBytes(fx, data.subspan(taken));
      else
        TakeCommandByte(fx, data[taken++]);
    }
    if (unplugged_) {
      // The cable came out midway: the host sees no handshake.
      if (taken < data.size()) outcome = Outcome::NotResponding;
    } else if (download_ && !download_->image.empty()) {
      RestartGapTimer(fx);  // every OUT after the first image byte restarts the gap
    }
  }
  Perform(fx);
  return outcome;
}

std::size_t SubstituteInstrument::IsoIn(std::uint8_t endpoint, std::uint32_t frame, std::span<std::uint8_t> packet) {
  (void)frame;  // the signal counts packets, not frames
  std::lock_guard lock(mutex_);
  if (endpoint != kIsoEndpoint || alternate_ != 1) return 0;
  // Each packet: its sequence number (32-bit little-endian), then bytes that
  // follow from it, so a reader can check order, loss and corruption.
  const std::uint32_t sequence = isoSequence_++;
  for (std::size_t i = 0; i < packet.size(); ++i) {
    packet[i] = i < 4 ? static_cast<std::uint8_t>(sequence >> (8 * i))
                      : static_cast<std::uint8_t>((sequence + i) & 0xFF);
  }
  return packet.size();
}

void SubstituteInstrument::ResetPort() {
  std::lock_guard lock(mutex_);
  download_.reset();
}

InstrumentConfig SubstituteInstrument::Config() const {
  std::lock_guard lock(mutex_);
  return config_;
}

void SubstituteInstrument::SetConfig(InstrumentConfig config) {
  std::lock_guard lock(mutex_);
  config_ = std::move(config);
}

std::vector<std::string> SubstituteInstrument::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

StoredImage SubstituteInstrument::Image(ImageType type) const {
  std::lock_guard lock(mutex_);
  return images_[static_cast<std::size_t>(type)];
}

std::size_t SubstituteInstrument::CompletedDownloads() const {
  std::lock_guard lock(mutex_);
  return completedDownloads_;
}

std::size_t SubstituteInstrument::Resets() const {
  std::lock_guard lock(mutex_);
  return resets_;
}

bool SubstituteInstrument::DownloadInProgress() const {
  std::lock_guard lock(mutex_);
  return download_.has_value();
}

std::size_t SubstituteInstrument::DownloadedBytes() const {
  std::lock_guard lock(mutex_);
  return download_ ? download_->image.size() : 0;
}

std::uint8_t SubstituteInstrument::AlternateSetting() const {
  std::lock_guard lock(mutex_);
  return alternate_;
}

std::uint32_t SubstituteInstrument::IsoSequence() const {
  std::lock_guard lock(mutex_);
  return isoSequence_;
}

}  // namespace usb
