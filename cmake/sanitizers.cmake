# Checked builds, for the whole tree (included from the top-level CMakeLists.txt before any
# target is made, so that the library, the command, the tests and the fuzzers agree):
#
#   CHUNKSIEVE_SANITIZE  AddressSanitizer and UndefinedBehaviorSanitizer, with g++ or clang.
#                        Any report stops the process with a non-zero status, so a clean test
#                        run means no report at all.
#   CHUNKSIEVE_FUZZ      the libFuzzer targets in fuzz/ (clang only): everything gets coverage
#                        instrumentation and the sanitizers above.
option(CHUNKSIEVE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(CHUNKSIEVE_FUZZ "Build the libFuzzer fuzzers in fuzz/ (clang; implies CHUNKSIEVE_SANITIZE)" OFF)

if(CHUNKSIEVE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CHUNKSIEVE_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(CHUNKSIEVE_SANITIZE ON)
  # Coverage for libFuzzer's guidance everywhere; only the fuzzers link libFuzzer's main.
  # Comparison tracing is left out: it costs the per-byte loops three times their run time, and
  # what it would find (the marker's bytes, the hash threshold) the seeds and random data reach.
  add_compile_options(-fsanitize=fuzzer-no-link -fno-sanitize-coverage=trace-cmp)
endif()

if(CHUNKSIEVE_SANITIZE)
  set(CHUNKSIEVE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_options(${CHUNKSIEVE_SANITIZER_FLAGS} -fno-omit-frame-pointer -g)
  add_link_options(${CHUNKSIEVE_SANITIZER_FLAGS})
endif()
