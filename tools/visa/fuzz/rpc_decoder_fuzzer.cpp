// Feeds arbitrary bytes to the gateway's RPC decoding as a client connection
// would send them: record marking, call headers, the port mapper's calls
// and the VXI-11 core channel's arguments (decoded, encoded back, freed).
#include "core_arguments.h"
#include "port_mapper.h"
#include "rpc_message.h"
#include "rpc_program.h"
#include "rpc_record.h"

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kCoreProgram = 0x0607AF;

void DecodeCoreArguments(const std::vector<std::uint8_t> &record) {
  visa::CallDecoder call(record);
  visa::CallHeader header;
  if (call.DecodeHeader(header) != visa::CallDecoder::Header::Ok || header.program != kCoreProgram) return;
  xdrproc_t decode = nullptr;
  std::size_t size = 0;
  if (!visa::CoreArguments(header.procedure, decode, size)) return;
  alignas(std::max_align_t) unsigned char arguments[256];
  if (size > sizeof arguments || !call.DecodeArguments(decode, arguments, size)) return;
  (void)visa::EncodeResult(header.xid, decode, arguments);
  xdr_free(decode, arguments);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const std::atomic<int> corePort{1024};
  static visa::PortMapper portMapper(corePort);
  visa::RecordReader reader(visa::kMaxRecord);
  std::string_view input(reinterpret_cast<const char *>(data), size);
  std::vector<std::uint8_t> record;
  while (!input.empty()) {
    if (reader.Feed(input, record) != visa::RecordReader::Status::Complete) break;
    visa::ConnectionState state;
    (void)visa::DispatchCall(record, {&portMapper}, state);
    DecodeCoreArguments(record);
  }
  return 0;
}
