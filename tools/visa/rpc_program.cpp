#include "rpc_program.h"

namespace visa {

Dispatched DispatchCall(const std::vector<std::uint8_t> &record, const std::vector<RpcProgram *> &programs,
                        ConnectionState &state) {
  Dispatched out;
  CallDecoder call(record);
  CallHeader header;
  switch (call.DecodeHeader(header)) {
    case CallDecoder::Header::Malformed:
      out.closeAfter = true;
      out.problem = "not an RPC call message";
      return out;
    case CallDecoder::Header::RpcMismatch:
      out.reply = EncodeRpcMismatch(header.xid);
      return out;
    case CallDecoder::Header::Ok:
      break;
  }
  RpcProgram *program = nullptr;
  for (RpcProgram *candidate : programs)
    if (candidate->Number() == header.program) program = candidate;
  if (program == nullptr) {
    out.reply = EncodeFailure(header.xid, PROG_UNAVAIL);
    return out;
  }
  if (program->Version() != header.version) {
    out.reply = EncodeFailure(header.xid, PROG_MISMATCH, program->Version(), program->Version());
    return out;
  }
  if (auto reply = program->Call(header, call, state)) {
    out.reply = std::move(*reply);
    return out;
  }
  out.reply = EncodeFailure(header.xid, GARBAGE_ARGS);
  out.closeAfter = true;
  out.problem = "arguments of procedure " + std::to_string(header.procedure) + " did not decode";
  return out;
}

}  // namespace visa
