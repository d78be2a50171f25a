// The substitute instrument: the device model that stands in for a Tavrin
// 570x measuring instrument on the simulated USB bus. It answers the text
// command language on its bulk endpoints, takes firmware images through the
// download exchange (and reboots after one when asked to), and streams a
// checkable isochronous signal in alternate setting 1.
//
// Threading: the bus calls the model one call at a time, but tests and tools
// read its state from other threads, so every piece of state is guarded by the
// model's own mutex. The model never calls its BusPort while holding that
// mutex, so the bus may call back into the model from DataReady, After,
// Detach or Reattach.
#pragma once

#include <usb/device_model.h>

#include "image_bytes.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace usb {

// The three firmware images an instrument carries.
enum class ImageType : std::uint8_t { Ip = 0, Dsp = 1, Fpga = 2 };
inline constexpr std::size_t kImageTypeCount = 3;

// "IP", "DSP" or "FPGA", as the command language names the image.
std::string_view ImageName(ImageType type);

// How one instrument behaves. The defaults give the normal instrument; tests
// and tools change fields to make it slow, silent, refusing or faulty.
struct InstrumentConfig {
  std::string serialNumber = "TVR00000";
  std::string ipVersion = "1.0.0";
  std::string dspVersion = "1.0.0";
  std::string fpgaVersion = "1.0.0";

  // Delay before an ordinary answer (queries, errors) is queued on the
  // interrogative channel; zero answers during the OUT call itself.
  std::chrono::milliseconds answerDelay{0};

  // The download exchange's two acknowledgements, sent as-is (no line feed is
  // added). An empty optional is silence: nothing is sent at all. A first
  // acknowledgement that does not start with "0" refuses the download: it is
  // sent and the instrument stays in command mode. The final
  // acknowledgement's text changes nothing else: the image is stored and a
  // RESET download reboots whatever it says.
  std::optional<std::string> firstAck = std::string("0\n");
  std::chrono::milliseconds firstAckDelay{0};
  std::optional<std::string> finalAck = std::string("0\n");
  std::chrono::milliseconds finalAckDelay{0};

  // An image ends when the command channel has been idle this long after an
  // image byte; the gap starts with the first image byte, never with the
  // download line, so a host that reads the acknowledgement on its own tick
  // before it sends loses nothing.
  std::chrono::milliseconds imageGap{1000};
  // A download that has taken no image byte this long after its first
  // acknowledgement went out is given up with an error answer, and the image
  // stored before stays: an empty image is never stored.
  std::chrono::milliseconds firstByteTimeout{10000};
  // How long a reboot after a RESET download keeps the instrument off the bus.
  std::chrono::milliseconds resetDelay{1000};

  // The command pipe refuses every OUT with a stall and takes nothing.
  bool commandPipeStalled = false;
  // The cable is pulled once this many image bytes of a download arrived.
  std::optional<std::size_t> unplugAfterImageBytes{};

  // Formatted streaming period started whenever the instrument comes onto
  // the bus; zero means no streaming until FMT:STREAM asks for it.
  std::chrono::milliseconds streamPeriod{0};
};

// The last image of one type the instrument stored.
struct StoredImage {
  ImageBytes bytes;
  std::size_t size = 0;
  std::uint32_t crc32 = 0;  // zlib's CRC-32 of `bytes`; 0 for no image
};

class SubstituteInstrument : public DeviceModel {
 public:
  // Identity and endpoint layout, as the descriptors announce them.
  static constexpr std::uint16_t kVendorId = 0x1209;
  static constexpr std::uint16_t kProductId = 0x5701;
  static constexpr std::uint16_t kDeviceRelease = 0x0100;
  static constexpr std::uint8_t kConfigurationValue = 1;
  static constexpr std::uint8_t kInterfaceNumber = 0;
  static constexpr std::uint8_t kCommandEndpoint = 0x01;        // bulk OUT
  static constexpr std::uint8_t kInterrogativeEndpoint = 0x81;  // bulk IN
  static constexpr std::uint8_t kFormattedEndpoint = 0x82;      // bulk IN
  static constexpr std::uint8_t kIsoEndpoint = 0x83;            // iso IN, alternate setting 1
  static constexpr std::size_t kBulkPacketSize = 512;
  static constexpr std::size_t kIsoPacketSize = 1024;

  // A command line longer than this is refused as a whole; a line as long
  // as the largest single write fits.
  static constexpr std::size_t kMaxLineLength = 65536;
  // FMT queues at most this many lines at once.
  static constexpr std::size_t kMaxFormattedCount = 100000;
  // Streamed lines are lost while this many lines wait on the formatted
  // channel, as an output buffer that nobody empties overflows.
  static constexpr std::size_t kStreamBacklogLimit = 4096;

  explicit SubstituteInstrument(InstrumentConfig config = {});
  ~SubstituteInstrument() override;

  SubstituteInstrument(const SubstituteInstrument &) = delete;
  SubstituteInstrument &operator=(const SubstituteInstrument &) = delete;

  // --- DeviceModel -------------------------------------------------------
  void Attached(BusPort *port) override;
  void Detached() override;

  Bytes DeviceDescriptor() override;
  Bytes ConfigurationDescriptor(std::uint8_t index) override;
  std::optional<Bytes> StringDescriptor(std::uint8_t index, std::uint16_t language) override;

  Outcome SetConfiguration(std::uint8_t value) override;
  Outcome SetInterface(std::uint8_t interface, std::uint8_t alternate) override;

  Outcome Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
  std::optional<Bytes> In(std::uint8_t endpoint, std::size_t maxLength) override;
  std::size_t IsoIn(std::uint8_t endpoint, std::uint32_t frame, std::span<std::uint8_t> packet) override;

  void ResetPort() override;

  // --- Configuration -----------------------------------------------------
  InstrumentConfig Config() const;
  // Replaces the behaviour from the next call on (a download in progress
  // keeps its image type and reset word).
  void SetConfig(InstrumentConfig config);

  // --- State for tests and tools (safe from any thread) -----------------
  // Every non-empty command line taken, carriage return removed, in order.
  std::vector<std::string> Commands() const;
  // The last image of `type` stored by a completed download.
  StoredImage Image(ImageType type) const;
  // Downloads that stored an image (ran to their final acknowledgement).
  std::size_t CompletedDownloads() const;
  // Reboots after RESET downloads (each one a BusPort::Reattach).
  std::size_t Resets() const;
  bool DownloadInProgress() const;
  // Image bytes the download in progress has taken so far (0 when none).
  std::size_t DownloadedBytes() const;
  std::uint8_t AlternateSetting() const;
  // Isochronous packets filled since alternate setting 1 was last selected.
  std::uint32_t IsoSequence() const;

  // The reading MEAS? gives as its `n`th answer (n from 1).
  static std::string Reading(std::uint64_t n);

 private:
  // What the model asks of the bus, collected under the mutex and carried
  // out once it is released.
  struct Effects {
    std::vector<std::uint8_t> dataReady;
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> timers;
    bool detach = false;
    std::optional<std::chrono::milliseconds> reattach;
  };

  // One answer line on a reply channel, delivered packet by packet.
  struct ReplyLine {
    std::string text;
    std::size_t sent = 0;
    bool zeroLengthDue = false;  // the line ended on a full packet
    bool rebootAfter = false;    // the final acknowledgement of a RESET download
  };

  struct Download {
    ImageType type = ImageType::Ip;
    bool reset = false;
    ImageBytes image;
    std::uint64_t serial = 0;    // tells this download from an earlier, dropped one
    std::uint64_t gapTimer = 0;  // only the latest gap or first-byte timer may end it
    bool ackPending = false;     // the first acknowledgement waits for its delay
    // The end-of-image gap is measured from the last image byte; one timer
    // at a time looks at it, so that an OUT only notes its time. The timer
    // pending (if any) runs at `gapCheckDue`.
    std::chrono::nanoseconds lastImageByte{0};
    std::optional<std::chrono::nanoseconds> gapCheckDue;
  };

  // Carries out `fx` without the mutex held.
  void Perform(Effects &fx);
  // Runs `work` under the mutex after `delay`, unless the instrument has left
  // the bus (or been destroyed) in between.
  void Schedule(Effects &fx, std::chrono::milliseconds delay, std::function<void(Effects &)> work);

  // reply_channels.cpp
  void Queue(Effects &fx, std::uint8_t endpoint, std::string text, bool rebootAfter = false);
  void Answer(Effects &fx, std::string line);
  void QueueAfter(Effects &fx, std::chrono::milliseconds delay, std::uint8_t endpoint, std::string text,
                  bool rebootAfter);
  void ClearReplies(Effects &fx);
  std::deque<ReplyLine> *Channel(std::uint8_t endpoint);
  void Reboot(Effects &fx);

  // command_language.cpp
  void TakeCommandByte(Effects &fx, std::uint8_t byte);
  void ExecuteLine(Effects &fx, const std::string &line);
  void StartStream(Effects &fx, std::chrono::milliseconds period);
  void StreamTick(Effects &fx, std::uint64_t generation, std::chrono::milliseconds period);
  std::string Identity() const;
  std::string FirmwareSummary() const;

  // download.cpp
  // Refuses a malformed download line with an error answer, or starts the
  // download and sends the first acknowledgement.
  void BeginDownload(Effects &fx, const std::string &line);
  // Takes image bytes from `data`; returns how many were taken (fewer when
  // the cable is pulled midway).
  std::size_t TakeImageBytes(Effects &fx, std::span<const std::uint8_t> data);
  // Starts the wait for the first image byte, once the first acknowledgement
  // is out.
  void StartFirstByteTimer(Effects &fx);
  void RestartGapTimer(Effects &fx);
  // Looks after `delay` whether the gap has passed since the last image byte:
  // ends the download if so, else looks again when it will have.
  void ScheduleGapCheck(Effects &fx, std::chrono::nanoseconds delay);
  // The bus's clock (0 off the bus, where no timer runs).
  std::chrono::nanoseconds Now() const;
  void FinishDownload(Effects &fx);

  mutable std::mutex mutex_;
  InstrumentConfig config_;

  // Bumped whenever the instrument arrives on or leaves the bus, so that
  // timers from an earlier attachment do nothing.
  std::uint64_t attachment_ = 0;
  // Bumped by *RST so that ordinary answers still waiting for their delay
  // are dropped with the queued ones.
  std::uint64_t outputGeneration_ = 0;
  // Bumped whenever formatted streaming starts or stops.
  std::uint64_t streamGeneration_ = 0;
  std::uint64_t streamLines_ = 0;
  bool unplugged_ = false;

  std::string lineBuffer_;
  bool lineOverflow_ = false;
  std::vector<std::string> commands_;
  std::uint64_t readings_ = 0;

  std::deque<ReplyLine> interrogative_;
  std::deque<ReplyLine> formatted_;

  std::optional<Download> download_;
  std::uint64_t downloads_ = 0;
  std::uint64_t gapTimers_ = 0;
  std::array<StoredImage, kImageTypeCount> images_;
  std::size_t completedDownloads_ = 0;
  std::size_t resets_ = 0;

  std::uint8_t alternate_ = 0;
  std::uint32_t isoSequence_ = 0;

  // Timers hold a weak reference to this, so one that outlives the model
  // does nothing.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace usb
