// tavrin: the instruments from the command line, for scripts, test benches
// and production lines. See `tavrin --help` and tavrin(1).
#include "commands.h"
#include "file_bytes.h"
#include "kernel_backend_report.h"
#include "shell_words.h"
#include "simulation.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tavrin_cli;

int RunShell(const Options &options);

constexpr const char *kFooter = R"(Names: TAVRIN-0 to TAVRIN-9, in any letter case.
Exit status: 0 ok, 2 bad arguments, 3 no such instrument, 4 transfer failed,
5 timed out, 6 download refused, 7 file missing or unreadable, 8 service
unreachable (tavrind stopped, hangs, or its socket cannot be used), 130 interrupted.

Commands the simulated instrument understands (keywords in any case):
  *IDN?          its identity: maker, model, serial number, image versions
  *RST           clears queued output and stops a stream
  ECHO text      answers the text
  MEAS?          answers the next reading of a fixed sequence
  FMT n          queues n lines on the formatted channel
  FMT:STREAM ms  one formatted line every ms milliseconds; 0 stops
  FW?            size and CRC-32 of the last IP, DSP and FPGA image
  DL,type,RESET  a firmware download (use `tavrin download`)
Answers arrive on the interrogative channel; anything else answers ERR.
Try:  tavrin --simulate 1 shell, then  write TAVRIN-0 'FMT:STREAM 500'  and
      monitor TAVRIN-0 --timeout 3000)";

// The bytes of `write NAME --file F`, or a failure's exit status.
int ReadInputFile(const Options &options, const std::string &path, std::string *bytes) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return Fail(options, kFileError, "no such file: " + path);
  std::optional<std::string> read = ReadFileBytes(path);
  if (!read) return Fail(options, kFileError, "cannot read " + path);
  *bytes = std::move(*read);
  return kOk;
}

// Parses and runs one command line; `inShell` refuses a nested shell and
// --simulate (the instruments are attached once, by the shell's own line).
int Run(std::vector<std::string> arguments, bool inShell) {
  CLI::App app{"Talks to Tavrin instruments through the device-access library.", "tavrin"};
  app.require_subcommand(1);
  app.footer(kFooter);
  // The options of the program are taken after the command's name as well.
  app.fallthrough();
  Options options;
  int simulate = -1;
  app.add_flag("--json", options.json, "One JSON object per outcome, errors included");
  app.add_flag("-v,--verbose", options.verbose, "Say what is done besides the command itself");
  app.add_option("--simulate", simulate, "Attach N simulated instruments (before the first command)")
      ->check(CLI::Range(0, 64));

  std::string name, text, path, type, inputFile;
  ReadSettings reading;
  ReadSettings asking{1000, true, false};
  bool noNewline = false, noReset = false, noWait = false;
  int restartWaitMs = kDefaultRestartWaitMs;
  double seconds = 0;
  int monitorMs = 0;
  auto addReadingOptions = [](CLI::App *command, ReadSettings &settings) {
    command->add_option("--timeout", settings.timeoutMs, "Milliseconds to wait for an answer")
        ->check(CLI::Range(0, 600000));
    command->add_flag("--until-newline,!--no-until-newline", settings.untilNewline,
                      "Read until what arrived ends in a line feed");
    command->add_flag("--hex", settings.hex, "Show the bytes in hexadecimal");
  };

  auto *list = app.add_subcommand("list", "The present instruments, one per line");
  auto *write = app.add_subcommand("write", "Send a command line (a line feed is added) or a file's bytes");
  write->add_option("name", name, "Instrument name, e.g. TAVRIN-0 (letter case does not matter)")->required();
  auto *textOption = write->add_option("text", text, "The command");
  auto *fileOption = write->add_option("--file", inputFile, "Send this file's bytes as they are");
  textOption->excludes(fileOption);
  write->add_flag("--no-newline", noNewline, "Send the text without the line feed");
  auto *read = app.add_subcommand("read", "Read a reply channel");
  read->add_option("name", name)->required();
  read->add_option("channel", type, "interrogative or formatted")
      ->required()
      ->transform(CLI::IsMember({"interrogative", "formatted"}, CLI::ignore_case));
  addReadingOptions(read, reading);
  auto *query = app.add_subcommand("query", "Send a command and wait for its answer line");
  query->add_option("name", name)->required();
  query->add_option("text", text)->required();
  addReadingOptions(query, asking);
  auto *download = app.add_subcommand("download", "Download a firmware image");
  download->add_option("name", name)->required();
  download->add_option("file", path)->required();
  download->add_option("--type", type, "ip, dsp or fpga")
      ->required()
      ->transform(CLI::IsMember({"IP", "DSP", "FPGA"}, CLI::ignore_case));
  download->add_flag("--no-reset", noReset, "The instrument does not restart afterwards");
  auto *waitOption = download->add_option("--wait", restartWaitMs, "Milliseconds to wait for a restarting instrument")
                         ->check(CLI::Range(0, 600000));
  download->add_flag("--no-wait", noWait, "Do not wait for the instrument to restart")->excludes(waitOption);
  auto *info = app.add_subcommand("info", "What the driver reports about an instrument");
  info->add_option("name", name)->required();
  auto *monitor = app.add_subcommand("monitor", "Print both reply channels as they arrive, until Ctrl-C");
  monitor->add_option("name", name)->required();
  auto *secondsOption = monitor->add_option("--seconds", seconds, "Stop after this long (0: until interrupted)");
  monitor->add_option("--timeout", monitorMs, "Stop after this many milliseconds")
      ->check(CLI::Range(0, 86400000))
      ->excludes(secondsOption);
  auto *shell = app.add_subcommand("shell", "Read commands from standard input, one per line");

  try {
    std::reverse(arguments.begin(), arguments.end());
    app.parse(arguments);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e) == 0 ? kOk : kBadArguments;
  } catch (const CLI::ParseError &e) {
    // Whether --json was given is known only when parsing got that far.
    options.json = options.json || std::find(arguments.begin(), arguments.end(), "--json") != arguments.end();
    if (options.json) return Fail(options, kBadArguments, e.what());
    app.exit(e);
    return kBadArguments;
  }
  if (simulate >= 0 && inShell) return Fail(options, kBadArguments, "--simulate goes on the shell's command line");
  if (!inShell) {
    if (int status = PrepareSimulation(options, simulate); status != kOk) return status;
  }
  if (int status = CheckServiceReachable(options); status != kOk) return status;

  if (list->parsed()) return ListCommand(options);
  if (write->parsed()) {
    if (!inputFile.empty()) {
      std::string bytes;
      if (int status = ReadInputFile(options, inputFile, &bytes); status != kOk) return status;
      return WriteCommand(options, name, bytes);
    }
    if (textOption->count() == 0) return Fail(options, kBadArguments, "write needs a text or --file");
    return WriteCommand(options, name, noNewline ? text : text + "\n");
  }
  if (read->parsed()) return ReadCommand(options, name, type == "interrogative" ? 1 : 2, reading);
  if (query->parsed()) return QueryCommand(options, name, text, asking);
  if (info->parsed()) return InfoCommand(options, name);
  if (monitor->parsed()) return MonitorCommand(options, name, monitorMs > 0 ? monitorMs / 1000.0 : seconds);
  if (download->parsed()) {
    RestartWait wait = noWait ? RestartWait{} : RestartWait{restartWaitMs};
    return DownloadCommand(options, name, path, *Download_Exchange::Image_Type_Named(type), !noReset, wait);
  }
  if (shell->parsed()) {
    if (inShell) return Fail(options, kBadArguments, "a shell cannot start another");
    return RunShell(options);
  }
  return kBadArguments;
}

// One line of standard input without its line end (LF or CRLF); false at
// the end of the input or when it cannot be read (`error` says why).
bool NextLine(std::string *line, std::string *error) {
  char *buffer = nullptr;
  std::size_t capacity = 0;
  errno = 0;
  ssize_t length = getline(&buffer, &capacity, stdin);
  if (length < 0) {
    if (std::ferror(stdin)) *error = std::strerror(errno != 0 ? errno : EIO);
    std::free(buffer);
    return false;
  }
  line->assign(buffer, static_cast<std::size_t>(length));
  std::free(buffer);
  if (!line->empty() && line->back() == '\n') line->pop_back();
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Runs each line of standard input as a command in this one process, so that
// simulated instruments keep their state from one command to the next. Two
// words belong to the shell itself: `sleep MS` and `exit [STATUS]`. The
// status is the last failing command's, or 0.
int RunShell(const Options &options) {
  int status = kOk;
  std::string line, error;
  for (int number = 1; NextLine(&line, &error); ++number) {
    ShellWords split = SplitShellWords(line);
    std::vector<std::string> &words = split.words;
    if (!split.error.empty()) {
      status = Fail(options, kBadArguments, "line " + std::to_string(number) + ": " + split.error);
      continue;
    }
    if (words.empty()) continue;
    if (words[0] == "tavrin") words.erase(words.begin());
    if (words.empty()) continue;
    if (words[0] == "exit") {
      if (words.size() == 1) return status;
      char *end = nullptr;
      long value = std::strtol(words[1].c_str(), &end, 10);
      if (*end == 0 && value >= 0 && value <= 255) return static_cast<int>(value);
      status = Fail(options, kBadArguments, "exit takes a status from 0 to 255");
      continue;
    }
    if (words[0] == "sleep") {
      char *end = nullptr;
      long ms = words.size() == 2 ? std::strtol(words[1].c_str(), &end, 10) : -1;
      if (ms < 0 || *end != 0) {
        status = Fail(options, kBadArguments, "sleep takes a number of milliseconds");
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      continue;
    }
    if (options.json) words.insert(words.begin(), "--json");
    if (options.verbose) words.insert(words.begin(), "--verbose");
    int result = Run(words, true);
    if (result != kOk) status = result;
  }
  if (!error.empty()) return Fail(options, kFileError, "cannot read the commands: " + error);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return Run(arguments, false);
}
