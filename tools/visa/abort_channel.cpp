#include "abort_channel.h"

#include "core_arguments.h"
#include "vxi11_core.h"  // generated from vxi11_core.x

namespace visa {
namespace {

constexpr Device_ErrorCode kNoError = 0;
constexpr Device_ErrorCode kInvalidLink = 4;

}  // namespace

void LinkDirectory::Add(std::int32_t link, int instrument, PartyId party) {
  std::lock_guard lock(mutex_);
  links_[link] = {instrument, party};
}

void LinkDirectory::Remove(std::int32_t link) {
  std::lock_guard lock(mutex_);
  links_.erase(link);
}

bool LinkDirectory::Interrupt(std::int32_t link, SharedInstruments &instruments) {
  std::lock_guard lock(mutex_);
  auto it = links_.find(link);
  if (it == links_.end()) return false;
  instruments[it->second.instrument].Interrupt(it->second.party);
  return true;
}

std::uint32_t AbortChannel::Number() const { return DEVICE_ASYNC; }
std::uint32_t AbortChannel::Version() const { return DEVICE_ASYNC_VERSION; }

std::optional<std::vector<std::uint8_t>> AbortChannel::Call(const CallHeader &header, CallDecoder &call,
                                                            ConnectionState &) {
  if (header.procedure == 0) return EncodeResult(header.xid, Routine(XdrNothing), nullptr);
  if (header.procedure != device_abort) return EncodeFailure(header.xid, PROC_UNAVAIL);
  Device_Link link = 0;
  if (!call.DecodeArguments(Routine(xdr_Device_Link), &link, sizeof link)) return std::nullopt;
  Device_Error result{directory_.Interrupt(static_cast<std::int32_t>(link), instruments_) ? kNoError : kInvalidLink};
  return EncodeResult(header.xid, Routine(xdr_Device_Error), &result);
}

}  // namespace visa
