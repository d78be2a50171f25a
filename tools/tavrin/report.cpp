#include "report.h"

#include "commands.h"
#include "kernel_backend_report.h"

#include <iostream>

namespace tavrin_cli {

JsonWriter SuccessObject() {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(true);
  return json;
}

void Succeed(const Options &options, JsonWriter &json, const std::string &plain) {
  if (options.json) {
    json.EndObject();
    std::cout << json.Text() << "\n";
  } else {
    std::cout << plain;
  }
  std::cout.flush();
}

int Fail(const Options &options, int status, const std::string &unmapped,
         const std::function<void(JsonWriter &)> &fields) {
  std::string message = unmapped;
  // A request that failed because the service went away or hangs says so.
  if (status == kNoInstrument || status == kDeviceError || status == kTimedOut) {
    if (std::string problem = ServiceUnreachable(); !problem.empty()) {
      status = kServiceUnreachable;
      message = problem;
    }
  }
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(false).Field("error", message).Field("exit_status", status);
    if (options.line > 0) json.Field("line", options.line);
    if (fields) fields(json);
    json.EndObject();
    std::cout << json.Text() << "\n" << std::flush;
  }
  Remark(options.line > 0 ? "line " + std::to_string(options.line) + ": " + message : message);
  return status;
}

void Remark(const std::string &message) { std::cerr << "tavrin: " << message << "\n" << std::flush; }

}  // namespace tavrin_cli
