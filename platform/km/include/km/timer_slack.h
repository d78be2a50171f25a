// Timed waits that end close to their due time. Linux lets a sleeping
// thread's wake-up come up to its timer slack late (50 us by default), so a
// 1 ms wait takes about 1.05 ms. The slack is a per-thread setting: each
// thread that waits with a time-out calls this before its first such wait.
#pragma once

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace km {

// Sets the calling thread's timer slack to the smallest value, once per
// thread; later calls cost a thread-local test.
inline void TightenTimerSlack() {
#if defined(__linux__)
  thread_local bool tightened = false;
  if (tightened) return;
  tightened = true;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

}  // namespace km
