// CHECK for the fuzzers: a failed condition is a finding, so it is reported and the process
// aborts, which libFuzzer records with the input that caused it. Active in every build mode.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
