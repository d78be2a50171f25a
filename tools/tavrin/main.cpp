// tavrin: the instruments from the command line, for scripts, test benches
// and production lines. See `tavrin --help`.
#include "commands.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tavrin_cli;

// Splits a shell line into words; double quotes group words with spaces.
std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

int RunShell(const Options &options);

// Parses and runs one command line; `inShell` refuses a nested shell.
int Run(std::vector<std::string> arguments, bool inShell) {
  CLI::App app{"Talks to Tavrin instruments through the device-access library.", "tavrin"};
  app.require_subcommand(1);
  Options options;
  int simulate = -1;
  app.add_flag("--json", options.json, "Structured output for scripts");
  app.add_option("--simulate", simulate, "Attach N simulated instruments (before the first command)")
      ->check(CLI::Range(0, 64));

  std::string name, text, path, type;
  int timeoutMs = 1000;
  bool noNewline = false, noReset = false;
  double seconds = 0;

  auto *list = app.add_subcommand("list", "The present instruments, one per line");
  auto *write = app.add_subcommand("write", "Send a command line (a line feed is added)");
  write->add_option("name", name, "Instrument name, e.g. TAVRIN-0")->required();
  write->add_option("text", text, "The command")->required();
  write->add_flag("--no-newline", noNewline, "Send the text without the line feed");
  auto *read = app.add_subcommand("read", "Read a reply channel once");
  read->add_option("name", name)->required();
  read->add_option("channel", type, "interrogative or formatted")
      ->required()
      ->check(CLI::IsMember({"interrogative", "formatted"}));
  auto *query = app.add_subcommand("query", "Send a command and wait for its answer");
  query->add_option("name", name)->required();
  query->add_option("text", text)->required();
  query->add_option("--timeout", timeoutMs, "Milliseconds to wait for the answer")->check(CLI::Range(0, 600000));
  auto *download = app.add_subcommand("download", "Download a firmware image");
  download->add_option("name", name)->required();
  download->add_option("file", path)->required();
  download->add_option("--type", type, "ip, dsp or fpga")->required()->check(CLI::IsMember({"ip", "dsp", "fpga"}));
  download->add_flag("--no-reset", noReset, "The instrument does not restart afterwards");
  auto *info = app.add_subcommand("info", "What the driver reports about an instrument");
  info->add_option("name", name)->required();
  auto *monitor = app.add_subcommand("monitor", "Print both reply channels as they arrive, until Ctrl-C");
  monitor->add_option("name", name)->required();
  monitor->add_option("--seconds", seconds, "Stop after this long (0: until interrupted)");
  auto *shell = app.add_subcommand("shell", "Read commands from standard input, one per line");

  try {
    std::reverse(arguments.begin(), arguments.end());
    app.parse(arguments);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e) == 0 ? kOk : kBadArguments;
  } catch (const CLI::ParseError &e) {
    app.exit(e);
    return kBadArguments;
  }
  if (simulate >= 0) {
    if (inShell) {
      std::cerr << "tavrin: --simulate goes on the shell's command line\n";
      return kBadArguments;
    }
    setenv("TAVRIN_SIMULATE", std::to_string(simulate).c_str(), 1);
  }

  if (list->parsed()) return ListCommand(options);
  if (write->parsed()) return WriteCommand(options, name, text, !noNewline);
  if (read->parsed()) return ReadCommand(options, name, type == "interrogative" ? 1 : 2);
  if (query->parsed()) return QueryCommand(options, name, text, timeoutMs);
  if (info->parsed()) return InfoCommand(options, name);
  if (monitor->parsed()) return MonitorCommand(options, name, seconds);
  if (download->parsed()) {
    std::string upper;
    for (char c : type) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return DownloadCommand(options, name, path, *Download_Exchange::Image_Type_Named(upper), !noReset);
  }
  if (shell->parsed()) {
    if (inShell) {
      std::cerr << "tavrin: a shell cannot start another\n";
      return kBadArguments;
    }
    return RunShell(options);
  }
  return kBadArguments;
}

// Runs each line of standard input as a command in this one process, so that
// simulated instruments keep their state from one command to the next. The
// status is the last failing command's, or 0.
int RunShell(const Options &options) {
  int status = kOk;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "tavrin") words.erase(words.begin());
    if (options.json) words.insert(words.begin(), "--json");
    int result = Run(words, true);
    if (result != kOk) status = result;
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return Run(arguments, false);
}
