// Chooses the context switch for this platform. Each backend defines context_prepare,
// context_switch and context_backend. CHUNKSIEVE_CONTEXT_UCONTEXT (the CMake option of that
// name) forces the portable fallback, so that it can be tested where an assembly backend exists.
#include "platform/context.h"

#if defined(CHUNKSIEVE_CONTEXT_UCONTEXT)
#include "platform/context_ucontext.inc"
#elif defined(__x86_64__) && defined(__ELF__)
#include "platform/context_x86_64_sysv.inc"
#elif defined(__aarch64__) && defined(__ELF__)
#include "platform/context_aarch64.inc"
#elif defined(__x86_64__) && defined(_WIN64) && defined(__GNUC__)
#include "platform/context_x86_64_win64.inc"
#elif defined(__i386__) && defined(_WIN32) && defined(__GNUC__)
#include "platform/context_i386_win32.inc"
#elif defined(__unix__) || defined(__APPLE__)
#include "platform/context_ucontext.inc"
#else
#error "no execution-context backend for this platform"
#endif
