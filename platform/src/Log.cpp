#include "platform/Log.h"

#include <cstdarg>

extern "C" {
FILE* librunlog_to_module_ptr = nullptr;
}

namespace qvlog {

void write(int level, const char* fmt, ...) {
  if (!enabled(level)) return;
  FILE* out = librunlog_to_module_ptr != nullptr ? librunlog_to_module_ptr : stdout;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(out, fmt, ap);
  va_end(ap);
  std::fflush(out);
}

void trace(const char* text, bool withNewline) {
  flockfile(stdout);
  std::fputs(text, stdout);
  if (withNewline) std::fputc('\n', stdout);
  std::fflush(stdout);
  funlockfile(stdout);
}

}  // namespace qvlog
