#include "simulation.h"

#include "commands.h"

#include <cstdlib>
#include <string>

namespace tavrin_cli {

int PrepareSimulation(const Options &options, int requested) {
  int count = requested;
  if (count >= 0) {
    setenv("TAVRIN_SIMULATE", std::to_string(count).c_str(), 1);
  } else if (const char *text = std::getenv("TAVRIN_SIMULATE"); text != nullptr) {
    std::string value = text;
    bool digits = !value.empty() && value.size() <= 3 &&
                  value.find_first_not_of("0123456789") == std::string::npos;
    count = digits ? std::stoi(value) : -1;
    if (count < 0 || count > kMostSimulated) {
      return Fail(options, kBadArguments,
                  "TAVRIN_SIMULATE=" + value + " is not a number of instruments from 0 to " +
                      std::to_string(kMostSimulated));
    }
  }
  if (count > kMostNamed) {
    Remark("warning: " + std::to_string(count) + " simulated instruments are attached, but only TAVRIN-0 to TAVRIN-" +
           std::to_string(kMostNamed - 1) + " can be listed and opened by name");
  }
  return kOk;
}

}  // namespace tavrin_cli
