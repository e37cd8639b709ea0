// What the fuzz targets share: a check that stops the process when a property fails, so
// that libFuzzer keeps the input and the replay run of the seeds fails its CTest test.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// Stops the process with the failed condition and its place when cond is false. Unlike
// assert it stays on in release builds, where the seeds are replayed.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)

// The entry point every target defines; libFuzzer calls it, and so does replay_main.cpp.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size);
