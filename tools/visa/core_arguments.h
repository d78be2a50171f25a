// The XDR routines of the VXI-11 core channel's procedure arguments.
#pragma once

#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>

namespace visa {

template <typename Value>
xdrproc_t Routine(bool_t (*routine)(XDR *, Value *)) {
  return reinterpret_cast<xdrproc_t>(routine);
}

// The XDR routine of a procedure without arguments or results.
inline bool_t XdrNothing(XDR *, void *) { return TRUE; }

// The XDR routine and size of a core procedure's arguments; false for a
// procedure the gateway does not serve.
bool CoreArguments(std::uint32_t procedure, xdrproc_t &decode, std::size_t &size);

}  // namespace visa
