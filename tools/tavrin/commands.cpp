#include "commands.h"

#include "device_info.h"
#include "instrument_channels.h"
#include "json_writer.h"

#include <host/host.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

namespace tavrin_cli {
namespace {

constexpr std::int32_t kInterrogativeBytes = 64;
constexpr std::int32_t kFormattedBytes = 32000;

std::atomic<bool> g_interrupted{false};

void Emit(const Options &options, JsonWriter &json, const std::string &plain) {
  if (options.json) {
    std::cout << json.Text() << "\n";
  } else {
    std::cout << plain;
  }
  std::cout.flush();
}

int Fail(const Options &options, int status, const std::string &message) {
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(false).Field("error", message).Field("status", status).EndObject();
    std::cout << json.Text() << "\n";
  }
  std::cerr << "tavrin: " << message << "\n";
  return status;
}

int NoInstrument(const Options &options, const std::string &name) {
  return Fail(options, kNoInstrument, "no instrument named " + name);
}

// Every formatted-channel read until one brings nothing.
std::string DrainFormatted(const std::string &name) {
  std::string text;
  while (auto chunk = Read(name, 2, kFormattedBytes)) text += *chunk;
  return text;
}

}  // namespace

int ListCommand(const Options &options) {
  std::vector<std::string> names = ListInstruments();
  JsonWriter json;
  json.BeginArray();
  std::string plain;
  for (const std::string &name : names) {
    json.String(name);
    plain += name + "\n";
  }
  json.EndArray();
  Emit(options, json, plain);
  // Said on the error stream, so that the list itself stays empty for scripts.
  if (names.empty()) std::cerr << "tavrin: " << host::NoInstrumentHint() << "\n";
  return kOk;
}

int WriteCommand(const Options &options, const std::string &name, const std::string &text, bool newline) {
  switch (Write(name, newline ? text + "\n" : text)) {
    case Transfer::Done: {
      JsonWriter json;
      json.BeginObject().Key("ok").Bool(true).Field("bytes", static_cast<std::int64_t>(text.size() + newline)).EndObject();
      Emit(options, json, "");
      return kOk;
    }
    case Transfer::NotFound:
      return NoInstrument(options, name);
    default:
      return Fail(options, kDeviceError, "Unable to write to device");
  }
}

int ReadCommand(const Options &options, const std::string &name, int channel) {
  if (!Present(name)) return NoInstrument(options, name);
  std::string text = channel == 1 ? Read(name, 1, kFormattedBytes).value_or("") : DrainFormatted(name);
  JsonWriter json;
  json.BeginObject().Field("channel", channel == 1 ? "interrogative" : "formatted").Field("text", text).EndObject();
  Emit(options, json, text);
  return kOk;
}

int QueryCommand(const Options &options, const std::string &name, const std::string &text, int timeoutMs) {
  switch (Write(name, text + "\n")) {
    case Transfer::NotFound:
      return NoInstrument(options, name);
    case Transfer::Failed:
      return Fail(options, kDeviceError, "Unable to write to device");
    case Transfer::Done:
      break;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    if (auto answer = Read(name, 1, kFormattedBytes)) {
      JsonWriter json;
      json.BeginObject().Field("query", text).Field("answer", *answer).EndObject();
      Emit(options, json, *answer);
      return kOk;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return Fail(options, kTimedOut, std::string(Download_Exchange::kTimedOut));
}

int InfoCommand(const Options &options, const std::string &name) {
  auto info = ReadDeviceInfo(name);
  if (!info) return NoInstrument(options, name);
  JsonWriter json;
  WriteDeviceInfo(json, name, *info);
  Emit(options, json, FormatDeviceInfo(name, *info));
  return kOk;
}

int MonitorCommand(const Options &options, const std::string &name, double seconds) {
  if (!Present(name)) return NoInstrument(options, name);
  g_interrupted = false;
  auto previous = std::signal(SIGINT, [](int) { g_interrupted = true; });
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!g_interrupted && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    auto interrogative = Read(name, 1, kInterrogativeBytes);
    std::string formatted = DrainFormatted(name);
    for (auto [channel, text] : {std::pair<const char *, std::string>{"interrogative", interrogative.value_or("")},
                                 {"formatted", formatted}}) {
      if (text.empty()) continue;
      JsonWriter json;
      json.BeginObject().Field("channel", channel).Field("text", text).EndObject();
      Emit(options, json, std::string(channel[0] == 'i' ? "I> " : "F> ") + text + (text.back() == '\n' ? "" : "\n"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::signal(SIGINT, previous);
  return kOk;
}

}  // namespace tavrin_cli
