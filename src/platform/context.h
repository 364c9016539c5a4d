// Execution contexts: the stackful switch under the filter coroutine.
//
// A context is only a saved stack pointer; the registers a function call must preserve are kept
// on the suspended side's own stack. Three operations make the whole interface:
//   context_prepare  set up a context that will run entry(arg) on a stack of its own;
//   context_switch   save the running context and continue another;
//   context_backend  which implementation this build uses (for tests and diagnostics).
// The implementation is one small file per platform, chosen in context.cpp.
#pragma once

#include <cstddef>

namespace chunksieve {

struct ExecutionContext {
    void* sp = nullptr;
};

using ContextEntry = void (*)(void* arg);

// The entry must never return: it has no frame to return into. A return traps at once rather
// than running off into unrelated memory.
void context_prepare(ExecutionContext& ctx, void* stack, std::size_t size, ContextEntry entry,
                     void* arg);

// Saves the running context into `from` and continues `to`; returns when some later switch
// continues `from`.
void context_switch(ExecutionContext& from, const ExecutionContext& to);

const char* context_backend();

}  // namespace chunksieve
