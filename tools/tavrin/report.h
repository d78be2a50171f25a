// How a command's outcome reaches the user: text on standard output, or with
// --json exactly one object per outcome, {"ok":true,...} or
// {"ok":false,"error":...,"exit_status":...}. Failures and remarks also go to
// standard error, so that standard output stays what the instrument sent.
#pragma once

#include "json_writer.h"

#include <functional>
#include <string>

namespace tavrin_cli {

struct Options {
  bool json = false;
  bool verbose = false;
  bool quiet = false;  // no remarks about how a command was served
  int line = 0;        // the shell's line number, 0 outside the shell
};

// An outcome object already holding "ok": true; the command adds its fields.
JsonWriter SuccessObject();
// Closes `json` and prints it with --json, else prints `plain` as it is.
void Succeed(const Options &options, JsonWriter &json, const std::string &plain);
// Reports a failure (in the shell, with its line number) and gives back
// its exit status; `fields` adds to the
// JSON object what the failed command still has to say.
int Fail(const Options &options, int status, const std::string &message,
         const std::function<void(JsonWriter &)> &fields = {});
// A remark on standard error ("tavrin: " and the text).
void Remark(const std::string &message);

}  // namespace tavrin_cli
