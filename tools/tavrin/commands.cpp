#include "commands.h"

#include "device_info.h"
#include "instrument_channels.h"
#include "kernel_backend_report.h"
#include "text_escape.h"

#include <host/host.h>
#include <um/kernel_backend.h>

#include <iostream>

namespace tavrin_cli {
namespace {

int NoInstrument(const Options &options, const std::string &name) {
  return Fail(options, kNoInstrument, "no instrument named " + name);
}

int Gone(const Options &options, const std::string &name) {
  return Fail(options, kDeviceError, "reading failed: " + name + " went away");
}

// What a read brought, as the user asked to see it.
std::string Shown(const std::string &bytes, const ReadSettings &settings) {
  if (!settings.hex) return bytes;
  return bytes.empty() ? std::string() : HexBytes(bytes) + "\n";
}

void AddBytes(JsonWriter &json, const char *key, const std::string &bytes, const ReadSettings &settings) {
  if (settings.hex) {
    json.Field(key, HexBytes(bytes));
  } else {
    json.TextField(key, bytes);
  }
}

}  // namespace

void RemarkDiscarded(const Options &options, const std::string &stale) {
  if (!options.verbose || stale.empty()) return;
  Remark("discarded " + std::to_string(stale.size()) + " unread bytes from the interrogative channel: " +
         EscapeBytes(stale.back() == '\n' ? stale.substr(0, stale.size() - 1) : stale, true));
}

int ListCommand(const Options &options) {
  std::vector<std::string> names = ListInstruments();
  JsonWriter json = SuccessObject();
  json.BeginArray("instruments");
  std::string plain;
  for (const std::string &name : names) {
    json.String(name);
    plain += name + "\n";
  }
  json.EndArray();
  WriteKernelBackend(json);
  Succeed(options, json, plain);
  if (!options.json) std::cerr << "(served by " << KernelBackendDescription() << ")\n";
  // Said on the error stream, so that the list itself stays empty for scripts. The hint
  // looks at this process's USB view, so it is given only when this process's kernel served.
  if (names.empty() && KernelServiceSocket() == nullptr) std::cerr << "tavrin: " << host::NoInstrumentHint() << "\n";
  return kOk;
}

int WriteCommand(const Options &options, const std::string &name, const std::string &bytes) {
  if (bytes.size() > kLargestTransfer) {
    return Fail(options, kBadArguments,
                "a write carries at most " + std::to_string(kLargestTransfer) + " bytes; this one has " +
                    std::to_string(bytes.size()));
  }
  switch (Write(name, bytes)) {
    case Transfer::Done: {
      JsonWriter json = SuccessObject();
      json.Field("bytes", static_cast<std::int64_t>(bytes.size()));
      Succeed(options, json, "");
      return kOk;
    }
    case Transfer::NotFound:
      return NoInstrument(options, name);
    default:
      return Fail(options, kDeviceError, "Unable to write to device");
  }
}

int ReadCommand(const Options &options, const std::string &name, int channel, const ReadSettings &settings) {
  auto listed = Resolve(name);
  if (!listed) return NoInstrument(options, name);
  Reading reading = ReadWithin(*listed, channel, settings.timeoutMs, settings.untilNewline);
  if (reading.outcome == Reading::Outcome::Gone) return Gone(options, *listed);
  // Without a time-out an empty channel is an answer, not a failure.
  if (reading.outcome == Reading::Outcome::Timed_Out && settings.timeoutMs > 0) {
    if (!reading.bytes.empty()) std::cout << Shown(reading.bytes, settings) << std::flush;
    return Fail(options, kTimedOut, std::string(Download_Exchange::kTimedOut));
  }
  JsonWriter json = SuccessObject();
  json.Field("channel", channel == 1 ? "interrogative" : "formatted");
  AddBytes(json, "text", reading.bytes, settings);
  Succeed(options, json, Shown(reading.bytes, settings));
  return kOk;
}

int QueryCommand(const Options &options, const std::string &name, const std::string &text,
                 const ReadSettings &settings) {
  auto listed = Resolve(name);
  if (!listed) return NoInstrument(options, name);
  // An answer nobody read yet would be taken for this query's.
  RemarkDiscarded(options, DrainInterrogative(*listed));
  if (text.size() + 1 > kLargestTransfer) return WriteCommand(options, *listed, text + "\n");
  switch (Write(*listed, text + "\n")) {
    case Transfer::NotFound:
      return NoInstrument(options, name);
    case Transfer::Failed:
      return Fail(options, kDeviceError, "Unable to write to device");
    case Transfer::Done:
      break;
  }
  Reading reading = ReadWithin(*listed, 1, settings.timeoutMs, settings.untilNewline);
  if (reading.outcome == Reading::Outcome::Gone) return Gone(options, *listed);
  if (reading.outcome == Reading::Outcome::Timed_Out) {
    if (!reading.bytes.empty() && !options.json) std::cout << Shown(reading.bytes, settings) << std::flush;
    return Fail(options, kTimedOut, std::string(Download_Exchange::kTimedOut));
  }
  JsonWriter json = SuccessObject();
  json.TextField("query", text);
  AddBytes(json, "answer", reading.bytes, settings);
  Succeed(options, json, Shown(reading.bytes, settings));
  return kOk;
}

int InfoCommand(const Options &options, const std::string &name) {
  auto listed = Resolve(name);
  auto info = listed ? ReadDeviceInfo(*listed) : std::nullopt;
  if (!info) return NoInstrument(options, name);
  JsonWriter json = SuccessObject();
  WriteDeviceInfo(json, *listed, *info);
  WriteKernelBackend(json);
  Succeed(options, json, FormatDeviceInfo(*listed, *info) + "  served by             " + KernelBackendDescription() + "\n");
  return kOk;
}

}  // namespace tavrin_cli
