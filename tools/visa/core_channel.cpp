#include "core_channel.h"

#include "core_arguments.h"
#include "instrument_io.h"
#include "interrupt_channel.h"
#include "log.h"
#include "vxi11_core.h"  // generated from vxi11_core.x

#include <algorithm>
#include <thread>

namespace visa {
namespace {

// Error codes of the VXI-11 standard.
constexpr Device_ErrorCode kNoError = 0;
constexpr Device_ErrorCode kDeviceNotAccessible = 3;
constexpr Device_ErrorCode kInvalidLink = 4;
constexpr Device_ErrorCode kNotSupported = 8;
constexpr Device_ErrorCode kChannelNotEstablished = 6;
constexpr Device_ErrorCode kOutOfResources = 9;
constexpr Device_ErrorCode kLockedByAnotherLink = 11;
constexpr Device_ErrorCode kNoLockHeld = 12;
constexpr Device_ErrorCode kIoTimeout = 15;
constexpr Device_ErrorCode kIoError = 17;
constexpr Device_ErrorCode kAbort = 23;
constexpr Device_ErrorCode kChannelAlreadyEstablished = 29;

// Operation flags.
constexpr Device_Flags kWaitLock = 1;
constexpr Device_Flags kEnd = 8;
constexpr Device_Flags kTermCharSet = 128;

// Status byte bit: message available.
constexpr unsigned char kMessageAvailable = 0x10;

// A device_clear empties at most this many pending formatted pieces.
constexpr int kClearReads = 256;

// The procedure of the core channel the gateway does not offer: it answers
// "operation not supported".
constexpr std::uint32_t kDeviceDocmd = 22;

union CoreArgumentsUnion {
  Create_LinkParms createLink;
  Device_EnableSrqParms enableSrq;
  Device_RemoteFunc remoteFunc;
  Device_WriteParms write;
  Device_ReadParms read;
  Device_GenericParms generic;
  Device_LockParms lock;
  Device_Link link;
};


std::chrono::milliseconds Millis(u_long value) {
  return std::chrono::milliseconds(std::min<u_long>(value, 24UL * 3600 * 1000));
}

template <typename Result>
std::vector<std::uint8_t> Reply(const CallHeader &header, bool_t (*encode)(XDR *, Result *), const Result &result) {
  return EncodeResult(header.xid, Routine(encode), &result);
}

// What a link held goes back: its lock, its place in the budget, its place
// among the instrument's parties.
void LeaveLink(Gateway &gateway, ConnectionState &state, const Vxi11Link &link) {
  gateway.locks.ReleaseAll(link.id);
  gateway.links.Give(state.peer);
  if (state.interrupts) state.interrupts->Disable(link.id);
  if (link.channel == kInterrogative) {
    gateway.linkDirectory.Remove(link.id);
    gateway.instruments[link.instrument].Leave(link.party);
  }
}

class Procedures {
 public:
  Procedures(Gateway &gateway, ConnectionState &state) : gateway_(gateway), state_(state) {}

  Create_LinkResp CreateLink(const Create_LinkParms &parms) {
    Create_LinkResp resp{};
    resp.maxRecvSize = kMaxTransfer;
    int instrument = 0, channel = 0;
    const std::string device = parms.device ? parms.device : "";
    if (!ParseDeviceName(device, instrument, channel)) {
      Log("%s: create_link for unknown device \"%s\"", state_.peer.c_str(), device.c_str());
      resp.error = kDeviceNotAccessible;
      return resp;
    }
    if (!InstrumentPresent(instrument)) {
      resp.error = kDeviceNotAccessible;
      return resp;
    }
    if (!gateway_.links.Take(state_.peer)) {
      Log("%s: create_link refused, no links left for this client or in total", state_.peer.c_str());
      resp.error = kOutOfResources;
      return resp;
    }
    Vxi11Link link;
    link.id = gateway_.nextLink++;
    link.instrument = instrument;
    link.channel = channel;
    if (parms.lockDevice && !gateway_.locks.Acquire(instrument, link.id, Millis(parms.lock_timeout))) {
      gateway_.links.Give(state_.peer);
      resp.error = kLockedByAnotherLink;
      return resp;
    }
    if (channel == kInterrogative) {
      link.party = gateway_.instruments[instrument].Join();
      gateway_.linkDirectory.Add(link.id, instrument, link.party);
    }
    resp.lid = link.id;
    resp.abortPort = static_cast<u_short>(gateway_.abortPort.load());
    state_.links.emplace(link.id, std::move(link));
    return resp;
  }

  Device_WriteResp Write(const Device_WriteParms &parms) {
    Device_WriteResp resp{};
    Vxi11Link *link = nullptr;
    if ((resp.error = Accessible(parms.lid, parms.flags, parms.lock_timeout, link)) != kNoError) return resp;
    if (link->channel != kInterrogative) {
      resp.error = kNotSupported;  // the formatted channel is read-only
      return resp;
    }
    // END ends the message: the instrument's command line ends there.
    SharedInstrument &instrument = gateway_.instruments[link->instrument];
    switch (instrument.Send(link->party, std::string_view(parms.data.data_val, parms.data.data_len),
                            (parms.flags & kEnd) != 0, Clock::now() + Millis(parms.io_timeout))) {
      case SharedInstrument::SendOutcome::Done:
        resp.size = parms.data.data_len;
        if (link->srqHandle && state_.interrupts) state_.interrupts->Arm(link->id);
        break;
      case SharedInstrument::SendOutcome::Absent:
        instrument.DropUnsent(link->party);  // the client is told, and sends again
        resp.error = kDeviceNotAccessible;
        break;
      case SharedInstrument::SendOutcome::Failed:
        resp.error = kIoError;
        break;
      case SharedInstrument::SendOutcome::Busy:
        resp.error = kIoTimeout;  // another client's download held the instrument
        break;
    }
    return resp;
  }

  // Gives what the link holds of an answer, reading from the instrument when
  // it holds nothing, until io_timeout.
  Device_ErrorCode Read(const Device_ReadParms &parms, ReadPiece &piece) {
    Vxi11Link *link = nullptr;
    if (Device_ErrorCode error = Accessible(parms.lid, parms.flags, parms.lock_timeout, link)) return error;
    const auto deadline = Clock::now() + Millis(parms.io_timeout);
    while (link->pending.empty()) {
      ReplyChunk chunk;
      const auto outcome = link->channel == kInterrogative
                               ? gateway_.instruments[link->instrument].Await(link->party, deadline,
                                                                              gateway_.stopping, chunk)
                               : AwaitFormatted(*link, deadline, chunk);
      switch (outcome) {
        case SharedInstrument::AwaitOutcome::Answer:
          link->pending += chunk.bytes;
          link->pendingEndsAnswer = chunk.endsAnswer;
          break;
        case SharedInstrument::AwaitOutcome::TimedOut:
          return kIoTimeout;
        case SharedInstrument::AwaitOutcome::Gone:
          return kDeviceNotAccessible;
        case SharedInstrument::AwaitOutcome::Interrupted:
        case SharedInstrument::AwaitOutcome::Stopped:
          return kAbort;
      }
    }
    const std::size_t room = std::min<std::size_t>(parms.requestSize, kMaxTransfer);
    piece = TakePending(*link, room, (parms.flags & kTermCharSet) != 0, parms.termChar);
    return kNoError;
  }

  Device_ReadStbResp ReadStatusByte(const Device_GenericParms &parms) {
    Device_ReadStbResp resp{};
    Vxi11Link *link = nullptr;
    if ((resp.error = Accessible(parms.lid, parms.flags, parms.lock_timeout, link)) != kNoError) return resp;
    if (link->pending.empty()) {
      std::optional<ReplyChunk> chunk = link->channel == kInterrogative
                                            ? gateway_.instruments[link->instrument].Poll(link->party)
                                            : ReadReply(link->instrument, link->channel);
      if (chunk) {
        link->pending += chunk->bytes;
        link->pendingEndsAnswer = chunk->endsAnswer;
      } else if (!InstrumentPresent(link->instrument)) {
        resp.error = kDeviceNotAccessible;
      }
    }
    if (!link->pending.empty()) resp.stb = kMessageAvailable;
    return resp;
  }

  Device_ErrorCode Clear(const Device_GenericParms &parms) {
    Vxi11Link *link = nullptr;
    if (Device_ErrorCode error = Accessible(parms.lid, parms.flags, parms.lock_timeout, link)) return error;
    link->pending.clear();
    link->pendingEndsAnswer = false;
    // Both directions: the unfinished command and every answer owed.
    if (link->channel == kInterrogative) {
      gateway_.instruments[link->instrument].Clear(link->party);
    } else {
      for (int i = 0; i < kClearReads && ReadReply(link->instrument, link->channel); ++i) {
      }
    }
    return InstrumentPresent(link->instrument) ? kNoError : kDeviceNotAccessible;
  }

  Device_ErrorCode Generic(const Device_GenericParms &parms, Device_ErrorCode outcome) {
    Vxi11Link *link = nullptr;
    if (Device_ErrorCode error = Accessible(parms.lid, parms.flags, parms.lock_timeout, link)) return error;
    return outcome;
  }

  Device_ErrorCode EnableServiceRequests(const Device_EnableSrqParms &parms) {
    Vxi11Link *link = Find(parms.lid);
    if (link == nullptr) return kInvalidLink;
    if (link->channel != kInterrogative) return kNotSupported;
    if (parms.enable)
      link->srqHandle = std::string(parms.handle.handle_val, parms.handle.handle_len);
    else
      link->srqHandle.reset();
    if (state_.interrupts) {
      if (link->srqHandle)
        state_.interrupts->Enable(link->id, link->instrument, link->party, *link->srqHandle);
      else
        state_.interrupts->Disable(link->id);
    }
    return kNoError;
  }

  Device_ErrorCode CreateInterruptChannel(const Device_RemoteFunc &parms) {
    if (state_.interrupts) return kChannelAlreadyEstablished;
    if (parms.progFamily != DEVICE_TCP) return kNotSupported;
    std::string problem;
    state_.interrupts = InterruptChannel::Open(state_.peer, parms.hostPort, static_cast<std::uint32_t>(parms.progNum),
                                               static_cast<std::uint32_t>(parms.progVers), gateway_.instruments,
                                               problem);
    if (!state_.interrupts) {
      Log("%s: create_intr_chan: %s", state_.peer.c_str(), problem.c_str());
      return kChannelNotEstablished;
    }
    for (auto &[id, link] : state_.links)
      if (link.srqHandle) state_.interrupts->Enable(id, link.instrument, link.party, *link.srqHandle);
    return kNoError;
  }

  Device_ErrorCode DestroyInterruptChannel() {
    if (!state_.interrupts) return kChannelNotEstablished;
    state_.interrupts.reset();
    return kNoError;
  }

  Device_ErrorCode Lock(const Device_LockParms &parms) {
    Vxi11Link *link = Find(parms.lid);
    if (link == nullptr) return kInvalidLink;
    const auto wait = (parms.flags & kWaitLock) ? Millis(parms.lock_timeout) : std::chrono::milliseconds(0);
    return gateway_.locks.Acquire(link->instrument, link->id, wait) ? kNoError : kLockedByAnotherLink;
  }

  Device_ErrorCode Unlock(Device_Link id) {
    Vxi11Link *link = Find(id);
    if (link == nullptr) return kInvalidLink;
    return gateway_.locks.Release(link->instrument, link->id) ? kNoError : kNoLockHeld;
  }

  Device_ErrorCode Destroy(Device_Link id) {
    Vxi11Link *link = Find(id);
    if (link == nullptr) return kInvalidLink;
    LeaveLink(gateway_, state_, *link);
    state_.links.erase(id);
    return kNoError;
  }

 private:
  // Links belong to the connection that made them.
  Vxi11Link *Find(Device_Link id) {
    auto it = state_.links.find(static_cast<std::int32_t>(id));
    return it == state_.links.end() ? nullptr : &it->second;
  }

  // The link, once no other link holds its instrument's lock (waiting for
  // lock_timeout when the client asked to wait).
  Device_ErrorCode Accessible(Device_Link id, Device_Flags flags, u_long lockTimeout, Vxi11Link *&link) {
    link = Find(id);
    if (link == nullptr) return kInvalidLink;
    const auto wait = (flags & kWaitLock) ? Millis(lockTimeout) : std::chrono::milliseconds(0);
    if (!gateway_.locks.WaitAccessible(link->instrument, link->id, wait)) return kLockedByAnotherLink;
    return kNoError;
  }

  // Waits for a piece of the formatted channel, which belongs to no one
  // client: it is a stream of the instrument's readings.
  SharedInstrument::AwaitOutcome AwaitFormatted(const Vxi11Link &link, Clock::time_point deadline,
                                                ReplyChunk &chunk) {
    auto pause = std::chrono::milliseconds(1);
    while (true) {
      if (auto piece = ReadReply(link.instrument, link.channel)) {
        chunk = std::move(*piece);
        return SharedInstrument::AwaitOutcome::Answer;
      }
      if (!InstrumentPresent(link.instrument)) return SharedInstrument::AwaitOutcome::Gone;
      if (gateway_.stopping) return SharedInstrument::AwaitOutcome::Stopped;
      const auto now = Clock::now();
      if (now >= deadline) return SharedInstrument::AwaitOutcome::TimedOut;
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }

  Gateway &gateway_;
  ConnectionState &state_;
};

}  // namespace

std::uint32_t Vxi11Core::Number() const { return DEVICE_CORE; }
std::uint32_t Vxi11Core::Version() const { return DEVICE_CORE_VERSION; }

std::optional<std::vector<std::uint8_t>> Vxi11Core::Call(const CallHeader &header, CallDecoder &call,
                                                         ConnectionState &state) {
  if (header.procedure == 0) return EncodeResult(header.xid, Routine(XdrNothing), nullptr);
  if (header.procedure == kDeviceDocmd) {
    Device_DocmdResp result{};
    result.error = kNotSupported;
    return Reply(header, xdr_Device_DocmdResp, result);
  }
  xdrproc_t decode = nullptr;
  std::size_t size = 0;
  if (!CoreArguments(header.procedure, decode, size)) return EncodeFailure(header.xid, PROC_UNAVAIL);
  CoreArgumentsUnion arguments;
  if (!call.DecodeArguments(decode, &arguments, size)) return std::nullopt;

  Procedures run(gateway_, state);
  std::vector<std::uint8_t> reply;
  auto error = [&](Device_ErrorCode code) {
    Device_Error result{code};
    return Reply(header, xdr_Device_Error, result);
  };
  switch (header.procedure) {
    case create_link:
      reply = Reply(header, xdr_Create_LinkResp, run.CreateLink(arguments.createLink));
      break;
    case device_write:
      reply = Reply(header, xdr_Device_WriteResp, run.Write(arguments.write));
      break;
    case device_read: {
      ReadPiece piece;
      Device_ReadResp result{};
      result.error = run.Read(arguments.read, piece);
      result.reason = piece.reason;
      result.data.data_len = static_cast<u_int>(piece.data.size());
      result.data.data_val = piece.data.data();
      reply = Reply(header, xdr_Device_ReadResp, result);
      break;
    }
    case device_readstb:
      reply = Reply(header, xdr_Device_ReadStbResp, run.ReadStatusByte(arguments.generic));
      break;
    case device_trigger:
      reply = error(run.Generic(arguments.generic, kNotSupported));
      break;
    case device_clear:
      reply = error(run.Clear(arguments.generic));
      break;
    case device_remote:
    case device_local:
      reply = error(run.Generic(arguments.generic, kNoError));
      break;
    case device_lock:
      reply = error(run.Lock(arguments.lock));
      break;
    case device_unlock:
      reply = error(run.Unlock(arguments.link));
      break;
    case destroy_link:
      reply = error(run.Destroy(arguments.link));
      break;
    case device_enable_srq:
      reply = error(run.EnableServiceRequests(arguments.enableSrq));
      break;
    case create_intr_chan:
      reply = error(run.CreateInterruptChannel(arguments.remoteFunc));
      break;
    case destroy_intr_chan:
      reply = error(run.DestroyInterruptChannel());
      break;
  }
  xdr_free(decode, &arguments);
  return reply;
}

void Vxi11Core::Closed(ConnectionState &state) {
  for (auto &[id, link] : state.links) LeaveLink(gateway_, state, link);
  state.interrupts.reset();
  state.links.clear();
}

}  // namespace visa
