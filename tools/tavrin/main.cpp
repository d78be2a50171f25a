// tavrin: the instruments from the command line, for scripts, test benches
// and production lines. See `tavrin --help` and tavrin(1).
#include "command_words.h"
#include "commands.h"
#include "file_bytes.h"
#include "instrument_channels.h"
#include "instrument_summary.h"
#include "nearest_word.h"
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
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tavrin_cli;

int RunShell(const Options &options, bool stopOnError);

// Where --serial S put the instrument's name; the instrument is looked up
// once the instruments are there.
constexpr const char *kSerialPlaceholder = "\x1b(serial)";

constexpr const char *kFooter = R"(Names: TAVRIN-0 to TAVRIN-9, in any letter case; or --serial S in a name's place.
Exit status: 0 ok, 2 bad arguments or nothing to send, 3 no such instrument,
4 transfer failed or the instrument went away, 5 timed out, 6 download refused,
7 file missing or unreadable, 8 service unreachable (tavrind stopped, hangs, or
its socket cannot be used), 130 interrupted.

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

// The bytes of `write NAME --file F` ("-": standard input), or a failure's
// exit status. A file too large for one write is refused before it is read.
int ReadInputFile(const Options &options, const std::string &path, bool inShell, std::string *bytes) {
  if (path == "-" && inShell) {
    return Fail(options, kBadArguments, "--file - cannot be used in the shell: its standard input holds the commands");
  }
  const std::string shown = path == "-" ? std::string("standard input") : path;
  BoundedBytes read = ReadAtMost(path, kLargestTransfer);
  switch (read.outcome) {
    case BoundedBytes::Outcome::Unreadable:
      return Fail(options, kFileError, "cannot read " + shown + ": " + read.error);
    case BoundedBytes::Outcome::TooLarge:
      return Fail(options, kBadArguments,
                  "a write carries at most " + std::to_string(kLargestTransfer) + " bytes; " + shown +
                      (read.size >= 0 ? " has " + std::to_string(read.size) : std::string(" has more")));
    case BoundedBytes::Outcome::Read:
      break;
  }
  if (read.bytes.empty()) return Fail(options, kBadArguments, "nothing to send: " + shown + " is empty");
  *bytes = std::move(read.bytes);
  return kOk;
}

// A parse failure's message: an unknown command is named with the nearest
// known one, and a missing one with the list of them.
std::string ParseFailure(const CLI::App &app, const CLI::ParseError &error, const std::vector<std::string> &given,
                         const std::vector<std::string> &commands, bool serialGiven) {
  if (app.get_subcommands().empty()) {
    std::optional<std::size_t> at = CommandWordIndex(given);
    std::string known;
    for (const std::string &command : commands) known += (known.empty() ? "" : ", ") + command;
    if (!at) return "a command is needed: " + known;
    return "unknown command '" + given[*at] + "'; did you mean '" + NearestWord(given[*at], commands) + "'?";
  }
  std::string message = error.what();
  bool misplaced = dynamic_cast<const CLI::ExtrasError *>(&error) != nullptr ||
                   dynamic_cast<const CLI::ValidationError *>(&error) != nullptr ||
                   dynamic_cast<const CLI::ExcludesError *>(&error) != nullptr;
  if (serialGiven && misplaced) message += " (with --serial, leave out the instrument's name)";
  return message;
}

// Parses and runs one command line. `shellLine` is the shell's line number,
// 0 outside the shell; the shell refuses a nested shell and --simulate (the
// instruments are attached once, by the shell's own line).
int Run(std::vector<std::string> arguments, int shellLine) {
  const bool inShell = shellLine > 0;
  CLI::App app{"Talks to Tavrin instruments through the device-access library.", "tavrin"};
  app.require_subcommand(1);
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("tavrin ") + TAVRIN_VERSION);
  // The options of the program are taken after the command's name as well.
  app.fallthrough();
  Options options;
  options.line = shellLine;
  int simulate = -1;
  std::string serialShown;
  app.add_flag("--json", options.json, "One JSON object per outcome, errors included");
  app.add_flag("-v,--verbose", options.verbose, "Say what is done besides the command itself");
  app.add_flag("-q,--quiet", options.quiet, "Leave out the served-by remark and the progress");
  // Shown in the help only: TakeSerialOption takes --serial out before parsing.
  app.add_option("--serial", serialShown, "Name the instrument by its serial number instead of its name");
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
  bool longListing = false;
  list->add_flag("-l,--long", longListing,
                 "Also serial number, image versions (asks *IDN?), serving kernel and USB bus and address");
  auto *write = app.add_subcommand("write", "Send a command line (a line feed is added) or a file's bytes");
  write->add_option("name", name, "Instrument name, e.g. TAVRIN-0 (letter case does not matter)")->required();
  auto *textOption = write->add_option("text", text, "The command");
  auto *fileOption = write->add_option("--file", inputFile, "Send this file's bytes as they are (-: standard input)");
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
  auto *noWaitOption =
      download->add_flag("--no-wait", noWait, "Do not wait for the instrument to restart")->excludes(waitOption);
  bool verify = false;
  download->add_flag("--verify", verify, "Afterwards ask FW? and compare size and CRC-32 with the file")
      ->excludes(noWaitOption);
  auto *info = app.add_subcommand("info", "What the driver reports about an instrument");
  info->add_option("name", name)->required();
  auto *monitor = app.add_subcommand("monitor", "Print both reply channels as they arrive, until Ctrl-C");
  monitor->add_option("name", name)->required();
  auto *secondsOption = monitor->add_option("--seconds", seconds, "Stop after this long (0: until interrupted)");
  monitor->add_option("--timeout", monitorMs, "Stop after this many milliseconds")
      ->check(CLI::Range(0, 86400000))
      ->excludes(secondsOption);
  auto *shell = app.add_subcommand("shell", "Read commands from standard input, one per line");
  bool stopOnError = false;
  shell->add_flag("--stop-on-error", stopOnError, "End at the first command that fails, with its status");
  std::vector<std::string> commands;
  for (const CLI::App *command : app.get_subcommands({})) commands.push_back(command->get_name());

  const std::vector<std::string> given = arguments;
  SerialChoice serial = TakeSerialOption(arguments, kSerialPlaceholder);
  if (!serial.error.empty()) {
    options.json = std::find(given.begin(), given.end(), "--json") != given.end();
    return Fail(options, kBadArguments, serial.error);
  }

  try {
    std::reverse(arguments.begin(), arguments.end());
    app.parse(arguments);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e) == 0 ? kOk : kBadArguments;
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e) == 0 ? kOk : kBadArguments;
  } catch (const CLI::ParseError &e) {
    // Whether --json was given is known only when parsing got that far.
    options.json = options.json || std::find(given.begin(), given.end(), "--json") != given.end();
    std::string message = ParseFailure(app, e, given, commands, serial.serial.has_value());
    if (options.json || inShell || message != e.what()) return Fail(options, kBadArguments, message);
    app.exit(e);
    return kBadArguments;
  }
  if (simulate >= 0 && inShell) return Fail(options, kBadArguments, "--simulate goes on the shell's command line");
  if (!inShell) {
    if (int status = PrepareSimulation(options, simulate); status != kOk) return status;
  }
  if (int status = CheckServiceReachable(options); status != kOk) return status;
  if (serial.serial) {
    std::optional<std::string> found = FindBySerial(*serial.serial);
    if (!found) return Fail(options, kNoInstrument, "no instrument with serial number " + *serial.serial);
    name = *found;
  }

  if (list->parsed()) return ListCommand(options, longListing);
  if (write->parsed()) {
    if (fileOption->count() > 0) {
      std::string bytes;
      if (int status = ReadInputFile(options, inputFile, inShell, &bytes); status != kOk) return status;
      return WriteCommand(options, name, bytes);
    }
    if (textOption->count() == 0) return Fail(options, kBadArguments, "write needs a text or --file");
    if (text.empty() && noNewline) {
      return Fail(options, kBadArguments, "nothing to send: the text is empty and --no-newline adds no line feed");
    }
    return WriteCommand(options, name, noNewline ? text : text + "\n");
  }
  if (read->parsed()) return ReadCommand(options, name, type == "interrogative" ? 1 : 2, reading);
  if (query->parsed()) return QueryCommand(options, name, text, asking);
  if (info->parsed()) return InfoCommand(options, name);
  if (monitor->parsed()) return MonitorCommand(options, name, monitorMs > 0 ? monitorMs / 1000.0 : seconds);
  if (download->parsed()) {
    RestartWait wait = noWait ? RestartWait{} : RestartWait{restartWaitMs};
    return DownloadCommand(options, name, path, *Download_Exchange::Image_Type_Named(type), !noReset, wait, verify);
  }
  if (shell->parsed()) {
    if (inShell) return Fail(options, kBadArguments, "a shell cannot start another");
    return RunShell(options, stopOnError);
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

// A decimal number of at most nine digits and nothing else (no sign, no
// spaces); nullopt otherwise.
std::optional<long> PlainNumber(const std::string &word) {
  if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stol(word);
}

// Runs each line of standard input as a command in this one process, so that
// simulated instruments keep their state from one command to the next. Two
// words belong to the shell itself: `sleep MS` and `exit [STATUS]`. The
// status is the last failing command's, or 0; with `stopOnError` the first
// failure ends the session with its status. Failures name their line.
int RunShell(const Options &shellOptions, bool stopOnError) {
  int status = kOk;
  std::string line, error;
  for (int number = 1; NextLine(&line, &error); ++number) {
    Options options = shellOptions;
    options.line = number;
    ShellWords split = SplitShellWords(line);
    std::vector<std::string> &words = split.words;
    if (!words.empty() && words[0] == "tavrin") words.erase(words.begin());
    if (split.error.empty() && words.empty()) continue;
    int result = kOk;
    if (!split.error.empty()) {
      result = Fail(options, kBadArguments, split.error);
    } else if (words[0] == "exit") {
      // An exit that cannot be done as asked still ends the session.
      if (words.size() == 1) return status;
      std::optional<long> value = words.size() == 2 ? PlainNumber(words[1]) : std::nullopt;
      if (value && *value <= 255) return static_cast<int>(*value);
      return Fail(options, kBadArguments, "exit takes one status from 0 to 255");
    } else if (words[0] == "sleep") {
      std::optional<long> ms = words.size() == 2 ? PlainNumber(words[1]) : std::nullopt;
      if (ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(*ms));
      } else {
        result = Fail(options, kBadArguments, "sleep takes one number of milliseconds");
      }
    } else {
      if (options.json) words.insert(words.begin(), "--json");
      if (options.verbose) words.insert(words.begin(), "--verbose");
      if (options.quiet) words.insert(words.begin(), "--quiet");
      result = Run(words, number);
    }
    if (result == kOk) continue;
    status = result;
    if (stopOnError) return status;
  }
  if (!error.empty()) return Fail(shellOptions, kFileError, "cannot read the commands: " + error);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return Run(arguments, 0);
}
