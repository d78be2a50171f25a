#include "instrument_census.h"

#include "service_log.h"

#include <km/standin.h>

#include <chrono>

namespace service {
namespace {

// The driver names slot k "TAVRIN-" followed by the character 0x30 + k.
constexpr int kSlots = 16;

std::string SlotName(int slot) { return "TAVRIN-" + std::string(1, static_cast<char>('0' + slot)); }

PDEVICE_OBJECT SlotDevice(int slot) {
  std::u16string path = u"\\??\\TAVRIN-";
  path.push_back(static_cast<char16_t>(u'0' + slot));
  return km::LookupDevice(path);
}

}  // namespace

wire::CensusReply TakeCensus(std::uint32_t clients) {
  wire::CensusReply census;
  census.clients = clients;
  for (int slot = 0; slot < kSlots; ++slot) {
    PDEVICE_OBJECT device = SlotDevice(slot);
    if (device == nullptr) continue;
    census.instruments.push_back({SlotName(slot), static_cast<std::uint32_t>(km::OpenFileCount(device))});
  }
  return census;
}

InstrumentWatch::InstrumentWatch() {
  Compare();
  thread_ = std::thread([this] { Run(); });
}

InstrumentWatch::~InstrumentWatch() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.join();
}

void InstrumentWatch::Run() {
  std::unique_lock guard(lock_);
  while (!stop_.wait_for(guard, std::chrono::milliseconds(250), [this] { return stopping_; })) {
    guard.unlock();
    Compare();
    guard.lock();
  }
}

void InstrumentWatch::Compare() {
  std::set<std::string> now;
  for (int slot = 0; slot < kSlots; ++slot) {
    if (SlotDevice(slot) != nullptr) now.insert(SlotName(slot));
  }
  for (const std::string &name : now) {
    if (present_.count(name) == 0) LogLine("instrument " + name + " arrived");
  }
  for (const std::string &name : present_) {
    if (now.count(name) == 0) LogLine("instrument " + name + " removed");
  }
  present_ = std::move(now);
}

}  // namespace service
