// The commands of `tavrin`, each returning the program's exit status.
#pragma once

#include <download_exchange.h>

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
};

struct Options {
  bool json = false;
};

int ListCommand(const Options &options);
int WriteCommand(const Options &options, const std::string &name, const std::string &text, bool newline);
int ReadCommand(const Options &options, const std::string &name, int channel);
int QueryCommand(const Options &options, const std::string &name, const std::string &text, int timeoutMs);
int InfoCommand(const Options &options, const std::string &name);
int MonitorCommand(const Options &options, const std::string &name, double seconds);
int DownloadCommand(const Options &options, const std::string &name, const std::string &path,
                    Download_Exchange::Image_Type type, bool reset);

}  // namespace tavrin_cli
