// The download exchange: "DL,<IP|DSP|FPGA>,<RESET|NORESET>" is acknowledged,
// then every byte on the command channel is image until the channel has been
// idle for the end-of-image gap after an image byte; the image is stored,
// acknowledged again, and with RESET the instrument reboots once that
// acknowledgement is out. A download that brings no image byte within the
// first-byte time-out ends with an error answer and stores nothing.
#include "substitute_instrument.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>

namespace usb {
namespace {

std::string UpperTrimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  std::string out(text.substr(first, last - first + 1));
  for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The comma-separated fields of a line, each trimmed and upper-cased.
std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const auto comma = line.find(',', start);
    fields.push_back(UpperTrimmed(line.substr(start, comma - start)));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

std::optional<ImageType> ParseImageType(const std::string &name) {
  for (std::size_t i = 0; i < kImageTypeCount; ++i) {
    const auto type = static_cast<ImageType>(i);
    if (name == ImageName(type)) return type;
  }
  return std::nullopt;
}

// An acknowledgement that starts with "0" accepts; any other text refuses.
bool IsAcceptance(std::string_view ack) { return !ack.empty() && ack.front() == '0'; }

}  // namespace

std::string_view ImageName(ImageType type) {
  switch (type) {
    case ImageType::Ip:
      return "IP";
    case ImageType::Dsp:
      return "DSP";
    case ImageType::Fpga:
      return "FPGA";
  }
  return "?";
}

void SubstituteInstrument::BeginDownload(Effects &fx, const std::string &line) {
  const auto fields = Fields(line);
  const auto type = fields.size() == 3 && fields[0] == "DL" ? ParseImageType(fields[1]) : std::nullopt;
  const bool reset = fields.size() == 3 && fields[2] == "RESET";
  const bool noReset = fields.size() == 3 && fields[2] == "NORESET";
  if (!type || !(reset || noReset)) {
    // The refusal never reads as an acknowledgement, and no download starts.
    Answer(fx, "ERR bad download request");
    return;
  }
  const auto &ack = config_.firstAck;
  if (ack && !IsAcceptance(*ack)) {
    // An instrument that refuses the download says so and stays in command
    // mode.
    QueueAfter(fx, config_.firstAckDelay, kInterrogativeEndpoint, *ack, false);
    return;
  }
  const std::uint64_t serial = ++downloads_;
  download_ = Download{*type, reset, {}, serial, 0, false, {}, std::nullopt};
  if (ack && config_.firstAckDelay.count() > 0) {
    // The waits are measured from when the acknowledgement is out, as the
    // host sends nothing before it has read it.
    download_->ackPending = true;
    Schedule(fx, config_.firstAckDelay, [this, serial, text = *ack](Effects &later) {
      if (!download_ || download_->serial != serial) return;
      Queue(later, kInterrogativeEndpoint, text);
      download_->ackPending = false;
      if (download_->image.empty())
        StartFirstByteTimer(later);
      else
        RestartGapTimer(later);
    });
  } else {
    if (ack) Queue(fx, kInterrogativeEndpoint, *ack);
    StartFirstByteTimer(fx);
  }
  if (config_.unplugAfterImageBytes && *config_.unplugAfterImageBytes == 0) {
    unplugged_ = true;
    fx.detach = true;
  }
}

std::size_t SubstituteInstrument::TakeImageBytes(Effects &fx, std::span<const std::uint8_t> data) {
  ImageBytes &image = download_->image;
  std::size_t take = data.size();
  const auto limit = config_.unplugAfterImageBytes;
  if (limit) take = std::min(take, *limit > image.size() ? *limit - image.size() : 0);
  image.Append(data.first(take));
  if (limit && image.size() >= *limit) {
    // The cable is pulled: the instrument takes nothing more.
    unplugged_ = true;
    fx.detach = true;
  }
  return take;
}

void SubstituteInstrument::StartFirstByteTimer(Effects &fx) {
  const std::uint64_t id = ++gapTimers_;
  download_->gapTimer = id;
  Schedule(fx, config_.firstByteTimeout, [this, id](Effects &later) {
    // An image byte since has replaced this timer with the gap's.
    if (!download_ || download_->gapTimer != id || !download_->image.empty()) return;
    download_.reset();
    Answer(later, "ERR no image received");
  });
}

std::chrono::nanoseconds SubstituteInstrument::Now() const {
  const BusPort *bus = port();
  return bus ? bus->Now() : std::chrono::nanoseconds(0);
}

void SubstituteInstrument::RestartGapTimer(Effects &fx) {
  if (download_->ackPending) return;  // the gap starts once the first acknowledgement is out
  // Every OUT of an image restarts the gap; most only note when. A new timer
  // is needed only when none is pending, or the one pending would look too
  // late (the gap was shortened since).
  download_->lastImageByte = Now();
  const auto gapEnds = download_->lastImageByte + config_.imageGap;
  if (download_->gapCheckDue && *download_->gapCheckDue <= gapEnds) return;
  ScheduleGapCheck(fx, config_.imageGap);
}

void SubstituteInstrument::ScheduleGapCheck(Effects &fx, std::chrono::nanoseconds delay) {
  const std::uint64_t id = ++gapTimers_;
  download_->gapTimer = id;
  // The bus counts timers in whole milliseconds: rounded up, so that the
  // gap never ends early.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(delay);
  download_->gapCheckDue = Now() + wait;
  Schedule(fx, wait, [this, id](Effects &later) {
    // Only the latest timer of the download still in progress may end it.
    if (!download_ || download_->gapTimer != id) return;
    download_->gapCheckDue.reset();
    const auto idle = Now() - download_->lastImageByte;
    if (idle < config_.imageGap) {
      ScheduleGapCheck(later, config_.imageGap - idle);
      return;
    }
    FinishDownload(later);
  });
}

void SubstituteInstrument::FinishDownload(Effects &fx) {
  Download done = std::move(*download_);
  download_.reset();
  if (done.image.empty()) {
    // The gap starts with an image byte, so this does not arise; should it,
    // the old image stays and the host hears no acceptance.
    Answer(fx, "ERR no image received");
    return;
  }
  StoredImage &stored = images_[static_cast<std::size_t>(done.type)];
  stored.bytes = std::move(done.image);
  stored.bytes.ShrinkToFit();
  stored.size = stored.bytes.size();
  stored.crc32 = static_cast<std::uint32_t>(crc32_z(0L, stored.bytes.data(), stored.bytes.size()));
  ++completedDownloads_;
  if (config_.finalAck)
    QueueAfter(fx, config_.finalAckDelay, kInterrogativeEndpoint, *config_.finalAck, done.reset);
  else if (done.reset)
    Reboot(fx);  // nothing to send first
}

}  // namespace usb
