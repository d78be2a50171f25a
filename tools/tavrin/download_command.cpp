// `tavrin download`: the firmware download exchange of client/, ticked by a
// loop every wait tick and fed chunk after chunk, with a progress bar on a
// terminal and plain progress lines otherwise, both on standard error.
// Ctrl-C ends it at once wherever it is, saying what the instrument may hold;
// --verify asks the instrument afterwards what it holds.
#include "commands.h"

#include "file_bytes.h"
#include "image_verification.h"
#include "instrument_channels.h"
#include "interruption.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

namespace tavrin_cli {
namespace {

namespace exchange = Download_Exchange;
using Clock = std::chrono::steady_clock;

// "512 B/s", "40.2 kB/s", "3.1 MB/s".
std::string Rate(std::int64_t bytes, Clock::duration elapsed) {
  double seconds = std::chrono::duration<double>(elapsed).count();
  if (seconds <= 0) return "";
  double rate = static_cast<double>(bytes) / seconds;
  char text[32];
  if (rate < 1000) {
    std::snprintf(text, sizeof text, "%.0f B/s", rate);
  } else {
    std::snprintf(text, sizeof text, rate < 1e6 ? "%.1f kB/s" : "%.1f MB/s", rate < 1e6 ? rate / 1e3 : rate / 1e6);
  }
  return text;
}

// Progress on standard error, so that standard output keeps the outcome: a
// bar redrawn in place on a terminal, else one line per new percentage; each
// with the bytes sent and the rate since the image began.
class Progress {
 public:
  explicit Progress(bool quiet) : terminal_(!quiet && isatty(STDERR_FILENO)), quiet_(quiet) {}
  // The image's first chunk is about to go: the rate counts from here.
  void Begin() {
    if (!began_) began_ = Clock::now();
  }
  // After a chunk. The last one is always shown, so that the figures end
  // with every byte even when the percentage already read 100%.
  void Show(const std::string &percent, double value, std::int64_t sent, std::int64_t total) {
    Clock::time_point now = Clock::now();
    Begin();
    int filled = static_cast<int>(value / 100.0 * kWidth + 0.5);
    if (quiet_ || (percent == last_ && filled == filled_ && sent < total)) return;
    std::string figures = "  " + std::to_string(sent) + " of " + std::to_string(total) + " bytes";
    std::string rate = Rate(sent, now - *began_);
    if (!rate.empty()) figures += ", " + rate;
    if (terminal_) {
      // The line is cleared to its end: the figures may have grown shorter.
      std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << percent
                << figures << "\033[K" << std::flush;
    } else if (percent != last_ || sent == total) {
      std::cerr << percent << figures << "\n" << std::flush;
    }
    last_ = percent;
    filled_ = filled;
  }
  void Finish() {
    if (terminal_ && !last_.empty()) std::cerr << "\n";
    last_.clear();
  }

 private:
  static constexpr int kWidth = 40;
  bool terminal_;
  bool quiet_;
  std::string last_;
  int filled_ = -1;
  std::optional<Clock::time_point> began_;  // the first chunk's time
};

std::string_view TypeName(exchange::Image_Type type) { return exchange::Command_Word(type).substr(3); }

enum class Return { Back, Away, Interrupted };

// After a download with RESET the instrument leaves the bus and comes back
// a moment later: waits for it to go (briefly: one that does not restart
// stays) and then to return, or until Ctrl-C.
Return WaitForReturn(const std::string &name, int waitMs, const InterruptWatch &interrupt) {
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  auto leaveBy = Clock::now() + std::chrono::milliseconds(std::min(waitMs, 500));
  while (Present(name)) {
    if (Clock::now() >= leaveBy) return Return::Back;
    if (!interrupt.Sleep(std::chrono::milliseconds(20))) return Return::Interrupted;
  }
  while (!Present(name)) {
    if (Clock::now() >= deadline) return Return::Away;
    if (!interrupt.Sleep(std::chrono::milliseconds(50))) return Return::Interrupted;
  }
  return Return::Back;
}

// What Ctrl-C during a wait of the exchange leaves behind.
std::string InterruptedWait(const Client::Download &download, const std::string &name, const std::string &type) {
  if (download.Bytes_Sent() == 0) {
    return "interrupted while waiting for " + name + " to accept the download: no image byte was sent, so it keeps "
           "its " + type + " image, but until it gives up waiting it may take what it is sent next for a new one";
  }
  return "interrupted while waiting for " + name + "'s final answer: all " + std::to_string(download.Bytes_Sent()) +
         " bytes of the " + type + " image were sent, but it has not said whether it stored them; ask it FW? to "
         "see what it holds, or download the image again";
}

// The outcome of --verify: nothing, or a failure's exit status.
int Verify(const Options &options, Client::Instrument &instrument, const std::string &type, const std::string &path,
           JsonWriter &json, std::string *plain) {
  Verification verification = VerifyImage(instrument, type, path);
  RemarkDiscarded(options, verification.dropped);
  const std::string &name = instrument.Name();
  auto summary = [](const Image_Check::Image_Summary &image) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(image.Crc32));
    return std::to_string(image.Size) + " bytes, CRC-32 " + crc;
  };
  const std::string failed = "the download ended well, but the check failed: ";
  switch (verification.outcome) {
    case Verification::Outcome::Unanswered:
      if (verification.answer.empty()) return Fail(options, kTimedOut, failed + name + " did not answer FW?");
      return Fail(options, kRefused,
                  failed + name + " answered FW? with \"" + verification.answer + "\", which names no " + type + " image");
    case Verification::Outcome::FileUnreadable:
      return Fail(options, kFileError, failed + "cannot read " + path + " again");
    case Verification::Outcome::Differs:
      return Fail(options, kRefused,
                  failed + path + " has " + summary(verification.file) + ", but " + name + " holds " +
                      summary(*verification.held) + " as its " + type + " image");
    case Verification::Outcome::Matches:
      break;
  }
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(verification.held->Crc32));
  json.Key("verified").Bool(true).Field("crc32", crc);
  *plain += "Verified: " + name + " holds the " + type + " image, " + summary(*verification.held) + "\n";
  return kOk;
}

}  // namespace

int DownloadCommand(const Options &options, const std::string &requested, const std::string &path,
                    exchange::Image_Type type, bool reset, RestartWait restartWait, bool verify) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return Fail(options, kFileError, exchange::Unable_To_Locate(path));
  }
  // The image goes out as it is read, one chunk at a time: only the
  // instrument ever holds all of it.
  FileReader image(path);
  if (!image.Open()) return Fail(options, kFileError, exchange::Unable_To_Locate(path));
  if (image.Size() == 0) return Fail(options, kFileError, "The file is empty: " + path);
  auto listed = Resolve(requested);
  if (!listed) return Fail(options, kNoInstrument, "no instrument named " + requested);
  const std::string &name = *listed;
  Client::Instrument instrument = Instrument(name);
  Client::Download download(instrument, exchange::Command_Line(type, reset), image);

  auto writeFailed = [&] { return Fail(options, kDeviceError, exchange::Error_Text(exchange::kUnableToWrite)); };
  auto partial = [&](const std::string &what) {
    return what + ": " + name + " holds a partial " + std::string(TypeName(type)) + " image (" +
           std::to_string(download.Bytes_Sent()) + " of " + std::to_string(image.Size()) +
           " bytes sent); download the image again to recover";
  };
  auto answerFailed = [&] {
    const bool refused = download.Failed_With() == Client::Download::Failure::Refused;
    return Fail(options, refused ? kRefused : kTimedOut, exchange::Error_Text(download.Answer()));
  };

  // The download drains what was waiting unread on the interrogative channel
  // before its download line goes: an old answer is no acknowledgement.
  download.Start();
  RemarkDiscarded(options, download.Dropped());
  if (download.Finished()) return writeFailed();

  Progress progress(options.json || options.quiet);
  InterruptWatch interrupt;
  const std::string typeName(TypeName(type));
  while (!download.Finished()) {
    if (!download.Sending()) {
      download.Tick();
      if (download.Finished()) break;
      if (!interrupt.Sleep(std::chrono::milliseconds(exchange::kWaitTickMs))) {
        download.Abandon();
        progress.Finish();
        return Fail(options, kInterrupted, InterruptedWait(download, name, typeName));
      }
      continue;
    }
    if (interrupt.Interrupted()) {
      progress.Finish();
      return Fail(options, kInterrupted, partial("interrupted"));
    }
    progress.Begin();
    download.Send_Next_Chunk();
    switch (download.Failed_With()) {
      case Client::Download::Failure::None:
        break;
      case Client::Download::Failure::Image_Unreadable:
        progress.Finish();
        return Fail(options, kFileError, partial("cannot read " + path + " any further"));
      case Client::Download::Failure::Sent_Count_Overflow:
        progress.Finish();
        return Fail(options, kFileError, partial("cannot send " + path + ": an image holds at most 2147483647 bytes"));
      default:
        progress.Finish();
        return writeFailed();
    }
    const double percentage = download.Percentage();
    progress.Show(exchange::Percent_Text(percentage), percentage, download.Bytes_Sent(), image.Size());
    if (!download.Sending()) progress.Finish();
  }
  if (download.Current_Stage() != Client::Download::Stage::Succeeded) return answerFailed();
  if (reset && restartWait) {
    if (options.verbose || !options.json) Remark("waiting for " + name + " to restart");
    switch (WaitForReturn(name, *restartWait, interrupt)) {
      case Return::Back:
        break;
      case Return::Away:
        return Fail(options, kTimedOut,
                    "the image is stored, but " + name + " did not come back within " +
                        std::to_string(*restartWait) + " ms of its restart");
      case Return::Interrupted:
        return Fail(options, kInterrupted,
                    "interrupted while waiting for " + name + " to restart: the " + typeName +
                        " image is stored (the instrument said so), and it comes back by itself");
    }
  }
  JsonWriter json = SuccessObject();
  json.Field("name", name).Field("file", path).Field("bytes", image.Size()).Field("result", exchange::kComplete);
  std::string plain = std::string(exchange::kComplete) + "\n";
  if (verify) {
    if (int status = Verify(options, instrument, typeName, path, json, &plain); status != kOk) return status;
  }
  Succeed(options, json, plain);
  return kOk;
}

}  // namespace tavrin_cli
