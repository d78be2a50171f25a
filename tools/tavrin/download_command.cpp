// `tavrin download`: the firmware download exchange of client/, ticked by a
// loop every wait tick and fed chunk after chunk, with a progress bar on a
// terminal and plain progress lines otherwise, both on standard error.
#include "commands.h"

#include "file_bytes.h"
#include "instrument_channels.h"
#include "interruption.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

namespace tavrin_cli {
namespace {

namespace exchange = Download_Exchange;

// Progress on standard error, so that standard output keeps the outcome: a
// bar redrawn in place on a terminal, else one line per new percentage.
class Progress {
 public:
  explicit Progress(bool quiet) : terminal_(!quiet && isatty(STDERR_FILENO)), quiet_(quiet) {}
  void Show(const std::string &percent, double value) {
    int filled = static_cast<int>(value / 100.0 * kWidth + 0.5);
    if (quiet_ || (percent == last_ && filled == filled_)) return;
    if (terminal_) {
      std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << percent
                << std::flush;
    } else if (percent != last_) {
      std::cerr << percent << "\n" << std::flush;
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
};

std::string_view TypeName(exchange::Image_Type type) { return exchange::Command_Word(type).substr(3); }

// After a download with RESET the instrument leaves the bus and comes back
// a moment later: waits for it to go (briefly: one that does not restart
// stays) and then to return.
bool WaitForReturn(const std::string &name, int waitMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  auto leaveBy = Clock::now() + std::chrono::milliseconds(std::min(waitMs, 500));
  while (Present(name)) {
    if (Clock::now() >= leaveBy) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  while (!Present(name)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace

int DownloadCommand(const Options &options, const std::string &requested, const std::string &path,
                    exchange::Image_Type type, bool reset, RestartWait restartWait) {
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

  Progress progress(options.json);
  InterruptWatch interrupt;
  while (!download.Finished()) {
    if (!download.Sending()) {
      download.Tick();
      if (!download.Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(exchange::kWaitTickMs));
      continue;
    }
    if (interrupt.Interrupted()) {
      progress.Finish();
      return Fail(options, kInterrupted, partial("interrupted"));
    }
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
    progress.Show(exchange::Percent_Text(percentage), percentage);
    if (!download.Sending()) progress.Finish();
  }
  if (download.Current_Stage() != Client::Download::Stage::Succeeded) return answerFailed();
  if (reset && restartWait) {
    if (options.verbose || !options.json) Remark("waiting for " + name + " to restart");
    if (!WaitForReturn(name, *restartWait)) {
      return Fail(options, kTimedOut,
                  "the image is stored, but " + name + " did not come back within " +
                      std::to_string(*restartWait) + " ms of its restart");
    }
  }
  JsonWriter json = SuccessObject();
  json.Field("name", name).Field("file", path).Field("bytes", image.Size()).Field("result", exchange::kComplete);
  Succeed(options, json, std::string(exchange::kComplete) + "\n");
  return kOk;
}

}  // namespace tavrin_cli
