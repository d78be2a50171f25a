#include "rpc_message.h"

#include <cstring>

namespace visa {
namespace {

std::vector<std::uint8_t> Encode(rpc_msg &reply, std::size_t resultBytes) {
  // Header, verifier and status take well under 64 bytes.
  std::vector<std::uint8_t> out(resultBytes + 64 + MAX_AUTH_BYTES);
  XDR xdr;
  xdrmem_create(&xdr, reinterpret_cast<char *>(out.data()), static_cast<u_int>(out.size()), XDR_ENCODE);
  const bool ok = xdr_replymsg(&xdr, &reply);
  out.resize(ok ? xdr_getpos(&xdr) : 0);
  XDR_DESTROY(&xdr);
  return out;
}

rpc_msg AcceptedReply(std::uint32_t xid, accept_stat status) {
  rpc_msg reply{};
  reply.rm_xid = xid;
  reply.rm_direction = REPLY;
  reply.rm_reply.rp_stat = MSG_ACCEPTED;
  reply.acpted_rply.ar_verf = _null_auth;
  reply.acpted_rply.ar_stat = status;
  return reply;
}

}  // namespace

CallDecoder::CallDecoder(const std::vector<std::uint8_t> &record) : record_(record) {
  xdrmem_create(&xdr_, reinterpret_cast<char *>(record_.data()), static_cast<u_int>(record_.size()), XDR_DECODE);
}

CallDecoder::~CallDecoder() { XDR_DESTROY(&xdr_); }

CallDecoder::Header CallDecoder::DecodeHeader(CallHeader &header) {
  // A call of another RPC version is still answered, with the versions
  // served: its first three words say so (xdr_callmsg refuses it outright).
  std::uint32_t xid = 0, direction = 0, rpcVersion = 0;
  if (xdr_u_int32_t(&xdr_, &xid) && xdr_u_int32_t(&xdr_, &direction) && xdr_u_int32_t(&xdr_, &rpcVersion) &&
      direction == CALL && rpcVersion != RPC_MSG_VERSION) {
    header.xid = xid;
    return Header::RpcMismatch;
  }
  xdr_setpos(&xdr_, 0);
  // The credential and verifier land in our own areas, so that decoding
  // allocates nothing; xdr_callmsg refuses bodies beyond MAX_AUTH_BYTES.
  char credentials[MAX_AUTH_BYTES];
  char verifier[MAX_AUTH_BYTES];
  rpc_msg call{};
  call.rm_call.cb_cred.oa_base = credentials;
  call.rm_call.cb_verf.oa_base = verifier;
  if (!xdr_callmsg(&xdr_, &call) || call.rm_direction != CALL) return Header::Malformed;
  header.xid = call.rm_xid;
  header.program = static_cast<std::uint32_t>(call.rm_call.cb_prog);
  header.version = static_cast<std::uint32_t>(call.rm_call.cb_vers);
  header.procedure = static_cast<std::uint32_t>(call.rm_call.cb_proc);
  return call.rm_call.cb_rpcvers == RPC_MSG_VERSION ? Header::Ok : Header::RpcMismatch;
}

bool CallDecoder::DecodeArguments(xdrproc_t decode, void *arguments, std::size_t size) {
  std::memset(arguments, 0, size);
  if (decode(&xdr_, arguments, 0)) return true;
  xdr_free(decode, arguments);  // whatever was allocated before the failure
  return false;
}

std::vector<std::uint8_t> EncodeResult(std::uint32_t xid, xdrproc_t encode, const void *result) {
  rpc_msg reply = AcceptedReply(xid, SUCCESS);
  reply.acpted_rply.ar_results.where = const_cast<char *>(static_cast<const char *>(result));
  reply.acpted_rply.ar_results.proc = encode;
  return Encode(reply, xdr_sizeof(encode, const_cast<void *>(result)));
}

std::vector<std::uint8_t> EncodeFailure(std::uint32_t xid, accept_stat status, std::uint32_t low, std::uint32_t high) {
  rpc_msg reply = AcceptedReply(xid, status);
  if (status == PROG_MISMATCH) {
    reply.acpted_rply.ar_vers.low = low;
    reply.acpted_rply.ar_vers.high = high;
  }
  return Encode(reply, 0);
}

std::vector<std::uint8_t> EncodeRpcMismatch(std::uint32_t xid) {
  rpc_msg reply{};
  reply.rm_xid = xid;
  reply.rm_direction = REPLY;
  reply.rm_reply.rp_stat = MSG_DENIED;
  reply.rjcted_rply.rj_stat = RPC_MISMATCH;
  reply.rjcted_rply.rj_vers.low = RPC_MSG_VERSION;
  reply.rjcted_rply.rj_vers.high = RPC_MSG_VERSION;
  return Encode(reply, 0);
}

}  // namespace visa
