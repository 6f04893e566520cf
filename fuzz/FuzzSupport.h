// Shared set-up of the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "platform/Log.h"

// The readers log every rejected input; the lines go nowhere while fuzzing.
inline void quietLogs() {
  static FILE* sink = std::fopen("/dev/null", "w");
  if (sink != nullptr) librunlog_to_module_ptr = sink;
}

// A broken invariant is a finding.
#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)
