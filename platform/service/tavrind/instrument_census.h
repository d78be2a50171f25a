// The instruments the hosted driver publishes, with the handles open on
// each, and a watch that logs their arrival and removal.
#pragma once

#include <wire_protocol.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace service {

wire::CensusReply TakeCensus(std::uint32_t clients);

// Logs one line per instrument that appears or goes, checking the driver's
// names a few times a second.
class InstrumentWatch {
 public:
  InstrumentWatch();
  ~InstrumentWatch();
  InstrumentWatch(const InstrumentWatch &) = delete;
  InstrumentWatch &operator=(const InstrumentWatch &) = delete;

 private:
  void Run();
  void Compare();

  std::mutex lock_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::set<std::string> present_;
  std::thread thread_;
};

}  // namespace service
