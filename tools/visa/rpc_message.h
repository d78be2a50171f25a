// ONC RPC call and reply messages, over libtirpc's XDR routines: a call's
// header is decoded into its program, version and procedure, its arguments by
// the procedure's XDR routine; replies are encoded the same way.
#pragma once

#include <rpc/rpc.h>

#include <cstdint>
#include <vector>

namespace visa {

struct CallHeader {
  std::uint32_t xid = 0;
  std::uint32_t program = 0;
  std::uint32_t version = 0;
  std::uint32_t procedure = 0;
};

class CallDecoder {
 public:
  enum class Header {
    Ok,
    Malformed,    // not an RPC call message: the stream cannot be trusted
    RpcMismatch,  // an RPC version other than 2: answered with a denial
  };

  explicit CallDecoder(const std::vector<std::uint8_t> &record);
  ~CallDecoder();
  CallDecoder(const CallDecoder &) = delete;
  CallDecoder &operator=(const CallDecoder &) = delete;

  Header DecodeHeader(CallHeader &header);
  // Decodes the arguments into `arguments` (zeroed first). On success the
  // caller frees them with xdr_free(decode, arguments).
  bool DecodeArguments(xdrproc_t decode, void *arguments, std::size_t size);

 private:
  std::vector<std::uint8_t> record_;
  XDR xdr_{};
};

// A successful reply carrying `result`.
std::vector<std::uint8_t> EncodeResult(std::uint32_t xid, xdrproc_t encode, const void *result);
// An accepted call that failed: PROG_UNAVAIL, PROC_UNAVAIL, GARBAGE_ARGS,
// SYSTEM_ERR, or PROG_MISMATCH with the supported version range.
std::vector<std::uint8_t> EncodeFailure(std::uint32_t xid, accept_stat status, std::uint32_t low = 0,
                                        std::uint32_t high = 0);
// A call of an RPC version other than 2, denied.
std::vector<std::uint8_t> EncodeRpcMismatch(std::uint32_t xid);

}  // namespace visa
