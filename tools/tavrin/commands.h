// The commands of `tavrin`, each returning the program's exit status.
#pragma once

#include "report.h"

#include <download_exchange.h>

#include <optional>
#include <string>

namespace tavrin_cli {

// Exit statuses, distinct for what a script needs to tell apart.
enum ExitStatus : int {
  kOk = 0,
  kBadArguments = 2,
  kNoInstrument = 3,
  kDeviceError = 4,
  kTimedOut = 5,
  kRefused = 6,
  kFileError = 7,
  kServiceUnreachable = 8,  // tavrind cannot be reached or stopped answering
  kInterrupted = 130,  // as a shell reports a program ended by Ctrl-C
};

// How a reading command waits and shows what it read.
struct ReadSettings {
  int timeoutMs = 0;  // 0: one read, an empty channel is no failure
  bool untilNewline = false;
  bool hex = false;
};

// How long `download` waits for a restarting instrument to come back;
// nullopt does not wait.
using RestartWait = std::optional<int>;
inline constexpr int kDefaultRestartWaitMs = 5000;

// With --verbose, says what was waiting unread on the interrogative channel
// and was dropped before a question or a download line went.
void RemarkDiscarded(const Options &options, const std::string &stale);

// With `longListing`, each instrument as InstrumentSummary describes it.
int ListCommand(const Options &options, bool longListing);
int WriteCommand(const Options &options, const std::string &name, const std::string &bytes);
int ReadCommand(const Options &options, const std::string &name, int channel, const ReadSettings &settings);
int QueryCommand(const Options &options, const std::string &name, const std::string &text,
                 const ReadSettings &settings);
int InfoCommand(const Options &options, const std::string &name);
int MonitorCommand(const Options &options, const std::string &name, double seconds);
// With `verify`, asks the instrument afterwards what it holds and compares
// that with the file.
int DownloadCommand(const Options &options, const std::string &name, const std::string &path,
                    Download_Exchange::Image_Type type, bool reset, RestartWait wait, bool verify);

}  // namespace tavrin_cli
