// The verifier's stop: a message naming the broken rule, then the process ends,
// as a Windows system stops with a bug check instead of running on corrupted.
#include "internal.h"

#include <cstdio>
#include <cstdlib>

namespace km {

void BugCheck(ULONG code, const char *name, const std::string &detail) {
  std::fprintf(stderr, "*** STOP: 0x%08X %s\n*** %s\n", static_cast<unsigned>(code), name, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace km
