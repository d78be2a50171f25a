// A Linux addition to kernel32: which kernel serves this process's device
// handles. Tools show it so that users know whose instruments they see.
#pragma once

#include <windows.h>

// The socket of the tavrind service this process's handles reach, or null
// when the kernel is embedded in the process. The choice is made on the
// first call (or the first CreateFileA) and holds for the process.
UM_EXTERN_C __attribute__((visibility("default"))) const char *WINAPI KernelServiceSocket(void);
// Why the tavrind service this process's handles reach cannot serve it, or
// null when it can or the kernel is embedded: the socket cannot be connected
// to (and why: no such file, refused, permission denied and the group that
// may use it), or the service stopped answering. Connects first when this
// process is not connected. The text stays valid until the next call on the
// same thread.
UM_EXTERN_C __attribute__((visibility("default"))) const char *WINAPI KernelServiceProblem(void);
