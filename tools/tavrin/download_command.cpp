// `tavrin download`: the firmware download exchange, with the rules every
// downloading program shares (command line, acknowledgement test, 1024-byte
// writes, progress figures, error texts), run straight through with a progress
// bar on a terminal and plain progress lines otherwise.
#include "commands.h"

#include "instrument_channels.h"
#include "json_writer.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

namespace tavrin_cli {
namespace {

namespace exchange = Download_Exchange;

constexpr std::int32_t kAnswerBytes = 64;

enum class Answer { Accepted, Refused, Silent };

// Reads the interrogative channel once per wait tick until an answer comes
// or the reads allowed run out; a read that succeeds is judged on its text.
Answer WaitForAnswer(const std::string &name, int waitMs, std::string *text) {
  for (int remaining = waitMs;;) {
    std::optional<std::string> read = Read(name, 1, kAnswerBytes);
    remaining -= exchange::kWaitTickMs;
    exchange::Wait_Outcome outcome = exchange::Judge_Read(read.has_value(), read.value_or(""), remaining);
    if (outcome == exchange::Wait_Outcome::Succeeded) return Answer::Accepted;
    if (outcome == exchange::Wait_Outcome::Failed) {
      *text = read.value_or("");
      return read ? Answer::Refused : Answer::Silent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(exchange::kWaitTickMs));
  }
}

class Progress {
 public:
  explicit Progress(bool quiet) : terminal_(!quiet && isatty(STDOUT_FILENO)), quiet_(quiet) {}
  void Show(const std::string &percent, double value) {
    if (quiet_ || percent == last_) return;
    last_ = percent;
    if (terminal_) {
      int filled = static_cast<int>(value / 100.0 * 40);
      std::cout << "\r[" << std::string(filled, '#') << std::string(40 - filled, '.') << "] " << percent << std::flush;
    } else {
      std::cout << percent << "\n" << std::flush;
    }
  }
  void Finish() {
    if (terminal_ && !last_.empty()) std::cout << "\n";
  }

 private:
  bool terminal_;
  bool quiet_;
  std::string last_;
};

int Failed(const Options &options, int status, const std::string &shown) {
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(false).Field("error", shown).Field("status", status).EndObject();
    std::cout << json.Text() << "\n";
  }
  std::cerr << shown << "\n";
  return status;
}

}  // namespace

int DownloadCommand(const Options &options, const std::string &name, const std::string &path,
                    exchange::Image_Type type, bool reset) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return Failed(options, kFileError, exchange::Unable_To_Locate(path));
  }
  std::ifstream file(path, std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) return Failed(options, kFileError, exchange::Unable_To_Locate(path));
  if (image.empty()) return Failed(options, kFileError, "The file is empty: " + path);
  if (!Present(name)) return Failed(options, kNoInstrument, "tavrin: no instrument named " + name);

  auto writeFailed = [&] { return Failed(options, kDeviceError, exchange::Error_Text(exchange::kUnableToWrite)); };
  if (Write(name, exchange::Command_Line(type, reset)) != Transfer::Done) return writeFailed();

  std::string answer;
  switch (WaitForAnswer(name, exchange::kAcknowledgementWaitMs, &answer)) {
    case Answer::Accepted:
      break;
    case Answer::Refused:
      return Failed(options, kRefused, exchange::Error_Text(answer));
    case Answer::Silent:
      return Failed(options, kTimedOut, exchange::Error_Text(answer));
  }

  Progress progress(options.json);
  std::int32_t sent = 0;
  auto total = static_cast<std::int64_t>(image.size());
  for (std::int64_t offset = 0; offset < total;) {
    std::int64_t bytes = exchange::Chunk_Bytes(total - offset);
    if (Write(name, image.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(bytes))) !=
        Transfer::Done) {
      progress.Finish();
      return writeFailed();
    }
    offset += bytes;
    exchange::Advance_Sent_Count(sent);
    double percentage = exchange::Percentage(sent, total);
    progress.Show(exchange::Percent_Text(percentage), percentage);
  }
  progress.Finish();

  switch (WaitForAnswer(name, exchange::kFinalAnswerWaitMs, &answer)) {
    case Answer::Accepted:
      break;
    case Answer::Refused:
      return Failed(options, kRefused, exchange::Error_Text(answer));
    case Answer::Silent:
      return Failed(options, kTimedOut, exchange::Error_Text(answer));
  }
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(true).Field("name", name).Field("file", path).Field("bytes", total);
    json.Field("result", exchange::kComplete).EndObject();
    std::cout << json.Text() << "\n";
  } else {
    std::cout << exchange::kComplete << "\n";
  }
  return kOk;
}

}  // namespace tavrin_cli
